#include "DxfOrder.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <utility>

#include "LargeBuffers.h"

namespace stagedesk::dxf {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

bool SamePoint(const Endpoints& e) {
    return e.sx == e.ex && e.sy == e.ey;
}

}  // namespace

Ordering OrderStraightforward(const std::vector<Endpoints>& elements) {
    struct Item {
        Endpoints p;
        std::uint32_t id;
        bool reversed;
    };
    std::vector<Item> items;
    items.reserve(elements.size());
    for (std::size_t i = 0; i < elements.size(); ++i)
        items.push_back({elements[i], static_cast<std::uint32_t>(i), false});
    double cx = 0, cy = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        std::size_t best = i;
        double bestD = kInf;
        for (std::size_t j = i; j < items.size(); ++j) {
            Item& it = items[j];
            const double ds = Distance2(cx, cy, it.p.sx, it.p.sy);
            const double de = Distance2(cx, cy, it.p.ex, it.p.ey);
            double d = ds;
            if (de <= ds) {
                d = de;
                if (!SamePoint(it.p)) {
                    std::swap(it.p.sx, it.p.ex);
                    std::swap(it.p.sy, it.p.ey);
                    it.reversed = !it.reversed;
                }
            }
            if (d < bestD) {
                bestD = d;
                best = j;
            }
        }
        std::swap(items[i], items[best]);
        cx = items[i].p.ex;
        cy = items[i].p.ey;
    }
    Ordering out;
    for (const Item& it : items) {
        out.order.push_back(it.id);
        out.reversed.push_back(it.reversed);
    }
    return out;
}

namespace {

// Every end of every element (one for an element whose ends coincide) in a
// k-d tree. Each node knows the lowest working-array position among the
// elements still in it, so a search skips what is too far and, at an equal
// distance, what stands later: duplicates and shared ends cost no more than
// other points. Each end carries its element's position (kNone once placed),
// so a search reads only the tree; a swap refreshes the ends of the element
// that moved and the nodes above them.
class EndIndex {
  public:
    static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

    // Positions start as the element indexes.
    explicit EndIndex(const std::vector<Endpoints>& elements)
        : m_endOf(elements.size() * 2, kNone) {
        m_ends.reserve(elements.size() * 2);
        korva::AdviseLargeCapacity(m_ends);
        for (std::size_t i = 0; i < elements.size(); ++i) {
            const auto id = static_cast<std::uint32_t>(i);
            m_ends.push_back({elements[i].sx, elements[i].sy, id, id, -1});
            if (!SamePoint(elements[i]))
                m_ends.push_back({elements[i].ex, elements[i].ey, id, id, -1});
        }
        if (m_ends.empty()) return;
        m_nodes.reserve(4 * m_ends.size() / kLeaf + 2);
        double x0 = kInf, y0 = kInf, x1 = -kInf, y1 = -kInf;
        for (const End& e : m_ends) {
            x0 = std::min(x0, e.x);
            x1 = std::max(x1, e.x);
            y0 = std::min(y0, e.y);
            y1 = std::max(y1, e.y);
        }
        Build(0, m_ends.size(), -1, x0, y0, x1, y1);
        for (std::size_t i = 0; i < m_ends.size(); ++i) {
            const std::uint32_t id = m_ends[i].id;
            m_endOf[2 * id + (m_endOf[2 * id] == kNone ? 0 : 1)] = static_cast<std::uint32_t>(i);
        }
    }

    struct Best {
        double d = kInf;
        std::uint32_t pos = kNone;
        std::uint32_t id = kNone;
    };

    // The element nearest to (x, y), the lowest position on a tie, with its
    // position; id kNone when none is left.
    Best Nearest(double x, double y) const {
        Best best;
        if (!m_nodes.empty()) Search(0, x, y, &best);
        return best;
    }

    // The element has been placed: its ends leave the tree.
    void Remove(std::uint32_t id) {
        for (int k = 0; k < 2; ++k) {
            const std::uint32_t at = m_endOf[2 * id + k];
            if (at == kNone) continue;
            m_ends[at].pos = kNone;
            int n = m_ends[at].leaf;
            Node& leaf = m_nodes[n];
            leaf.minPos = kNone;
            for (std::uint32_t i = leaf.begin; i < leaf.end; ++i)
                leaf.minPos = std::min(leaf.minPos, m_ends[i].pos);
            for (n = leaf.parent; n >= 0; n = m_nodes[n].parent) {
                Node& up = m_nodes[n];
                up.minPos = std::min(m_nodes[up.left].minPos, m_nodes[up.right].minPos);
            }
        }
    }

    // The element moved to a later position. Only its ends learn it: a
    // node's minimum may stay lower than the truth, which costs a visit now
    // and then but never hides an element (it is refreshed at the next removal
    // below it). The moved element stood anywhere; leaving its nodes alone
    // spares a walk through cold memory at every step.
    void MoveLater(std::uint32_t id, std::uint32_t pos) {
        for (int k = 0; k < 2; ++k) {
            const std::uint32_t at = m_endOf[2 * id + k];
            if (at != kNone) m_ends[at].pos = pos;
        }
    }

  private:
    struct End {
        double x, y;
        std::uint32_t id;
        std::uint32_t pos;  // of its element; kNone once placed
        int leaf;
    };
    struct Node {
        double minX, minY, maxX, maxY;
        int left = -1, right = -1, parent = -1;
        std::uint32_t begin = 0, end = 0;  // a leaf's ends
        std::uint32_t minPos = kNone;      // no later than any below; kNone: nothing left
    };
    static constexpr std::size_t kLeaf = 16;

    // The cell (cx0..cx1, cy0..cy1) holds the range; it decides the split, the
    // nodes get the tight boxes of their ends, gathered from below.
    int Build(std::size_t begin, std::size_t end, int parent, double cx0, double cy0, double cx1,
              double cy1) {
        const int index = static_cast<int>(m_nodes.size());
        m_nodes.push_back(Node{});
        Node n;
        n.parent = parent;
        if (end - begin <= kLeaf) {
            n.minX = n.minY = kInf;
            n.maxX = n.maxY = -kInf;
            n.begin = static_cast<std::uint32_t>(begin);
            n.end = static_cast<std::uint32_t>(end);
            for (std::size_t i = begin; i < end; ++i) {
                n.minX = std::min(n.minX, m_ends[i].x);
                n.maxX = std::max(n.maxX, m_ends[i].x);
                n.minY = std::min(n.minY, m_ends[i].y);
                n.maxY = std::max(n.maxY, m_ends[i].y);
                n.minPos = std::min(n.minPos, m_ends[i].pos);
                m_ends[i].leaf = index;
            }
        } else {
            // Split the wider side of the cell at the median.
            const std::size_t mid = begin + (end - begin) / 2;
            const auto first = m_ends.begin() + static_cast<std::ptrdiff_t>(begin);
            const auto middle = m_ends.begin() + static_cast<std::ptrdiff_t>(mid);
            const auto last = m_ends.begin() + static_cast<std::ptrdiff_t>(end);
            if (cx1 - cx0 >= cy1 - cy0) {
                std::nth_element(first, middle, last,
                                 [](const End& a, const End& b) { return a.x < b.x; });
                const double at = middle->x;
                n.left = Build(begin, mid, index, cx0, cy0, at, cy1);
                n.right = Build(mid, end, index, at, cy0, cx1, cy1);
            } else {
                std::nth_element(first, middle, last,
                                 [](const End& a, const End& b) { return a.y < b.y; });
                const double at = middle->y;
                n.left = Build(begin, mid, index, cx0, cy0, cx1, at);
                n.right = Build(mid, end, index, cx0, at, cx1, cy1);
            }
            const Node& l = m_nodes[n.left];
            const Node& r = m_nodes[n.right];
            n.minX = std::min(l.minX, r.minX);
            n.minY = std::min(l.minY, r.minY);
            n.maxX = std::max(l.maxX, r.maxX);
            n.maxY = std::max(l.maxY, r.maxY);
            n.minPos = std::min(l.minPos, r.minPos);
        }
        m_nodes[index] = n;
        return index;
    }

    // No end in the box is nearer than this (exactly: the same roundings as
    // Distance2, and they only grow with the true distance).
    static double LowerBound(const Node& n, double x, double y) {
        const double dx = std::max({0.0, n.minX - x, x - n.maxX});
        const double dy = std::max({0.0, n.minY - y, y - n.maxY});
        return dx * dx + dy * dy;
    }

    // Whether a node may hold something better than the best so far.
    static bool MayImprove(const Node& n, double lb, const Best& best) {
        if (n.minPos == kNone || lb > best.d) return false;
        return lb < best.d || n.minPos < best.pos;
    }

    void Search(int index, double x, double y, Best* best) const {
        const Node& n = m_nodes[index];
        if (n.left < 0) {
            for (std::uint32_t i = n.begin; i < n.end; ++i) {
                const End& e = m_ends[i];
                if (e.pos == kNone) continue;
                const double d = Distance2(x, y, e.x, e.y);
                if (d < best->d || (d == best->d && e.pos < best->pos)) *best = {d, e.pos, e.id};
            }
            return;
        }
        const Node& l = m_nodes[n.left];
        const Node& r = m_nodes[n.right];
        const double dl = LowerBound(l, x, y);
        const double dr = LowerBound(r, x, y);
        const bool leftFirst = dl < dr || (dl == dr && l.minPos <= r.minPos);
        const int first = leftFirst ? n.left : n.right, second = leftFirst ? n.right : n.left;
        const double d1 = leftFirst ? dl : dr, d2 = leftFirst ? dr : dl;
        if (MayImprove(m_nodes[first], d1, *best)) Search(first, x, y, best);
        if (MayImprove(m_nodes[second], d2, *best)) Search(second, x, y, best);
    }

    std::vector<End> m_ends;
    std::vector<std::uint32_t> m_endOf;  // per element: its ends in m_ends (kNone: none)
    std::vector<Node> m_nodes;
};

}  // namespace

Ordering OrderNearest(const std::vector<Endpoints>& elements) {
    const std::size_t n = elements.size();
    // The working array: which element stands where (the index keeps each
    // element's position with its ends).
    std::vector<std::uint32_t> idAt(n);
    for (std::size_t i = 0; i < n; ++i) idAt[i] = static_cast<std::uint32_t>(i);
    EndIndex index(elements);
    // The current point of every step so far: an element's turns at earlier
    // steps matter only when its ends are equally far at the step it is
    // chosen, and are then replayed from here.
    std::vector<std::pair<double, double>> history;
    history.reserve(n);
    korva::AdviseLargeCapacity(history);
    Ordering out;
    out.order.reserve(n);
    out.reversed.reserve(n);
    double cx = 0, cy = 0;
    for (std::size_t i = 0; i < n; ++i) {
        history.push_back({cx, cy});
        const EndIndex::Best nearest = index.Nearest(cx, cy);
        const std::uint32_t id = nearest.id;
        const Endpoints& e = elements[id];
        bool reversed = false;
        if (!SamePoint(e)) {
            // Examined at every step from 0 to i: after a step the element
            // starts at its nearer end, or is turned once more on a tie.
            std::size_t ties = 0;
            std::size_t k = i + 1;
            while (k-- > 0) {
                const auto [hx, hy] = history[k];
                const double ds = Distance2(hx, hy, e.sx, e.sy);
                const double de = Distance2(hx, hy, e.ex, e.ey);
                if (ds == de) {
                    ++ties;
                    continue;
                }
                reversed = de < ds;
                break;
            }
            // Without a deciding step: as imported, turned once per tie.
            if (ties % 2 == 1) reversed = !reversed;
        }
        // Swap into position i: the element that stood there takes its place.
        const std::uint32_t at = nearest.pos;
        const std::uint32_t displaced = idAt[i];
        idAt[at] = displaced;
        idAt[i] = id;
        index.Remove(id);
        if (displaced != id) index.MoveLater(displaced, at);
        out.order.push_back(id);
        out.reversed.push_back(reversed);
        cx = reversed ? e.sx : e.ex;
        cy = reversed ? e.sy : e.ey;
    }
    return out;
}

}  // namespace stagedesk::dxf
