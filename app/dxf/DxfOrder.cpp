#include "DxfOrder.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <set>
#include <utility>

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

// The distinct end points, each with the elements (keyed by their position in
// the working array) that end there, in a k-d tree whose nodes count the
// points that still have elements.
class PointIndex {
  public:
    using Key = std::pair<std::size_t, std::uint32_t>;  // position, element

    explicit PointIndex(const std::vector<Endpoints>& elements) {
        std::vector<std::pair<std::pair<double, double>, std::uint32_t>> ends;
        ends.reserve(elements.size() * 2);
        for (std::size_t i = 0; i < elements.size(); ++i) {
            const auto id = static_cast<std::uint32_t>(i);
            ends.push_back({{elements[i].sx, elements[i].sy}, id});
            if (!SamePoint(elements[i])) ends.push_back({{elements[i].ex, elements[i].ey}, id});
        }
        std::sort(ends.begin(), ends.end());
        m_pointsOf.resize(elements.size());
        for (std::size_t k = 0; k < ends.size(); ++k) {
            if (k == 0 || ends[k].first != ends[k - 1].first) {
                m_points.push_back({ends[k].first.first, ends[k].first.second, {}, -1});
            }
            const auto p = static_cast<std::uint32_t>(m_points.size() - 1);
            m_points[p].owners.insert({ends[k].second, ends[k].second});
            auto& mine = m_pointsOf[ends[k].second];
            if (mine.empty() || mine.back() != p) mine.push_back(p);
        }
        m_order.resize(m_points.size());
        for (std::size_t i = 0; i < m_points.size(); ++i)
            m_order[i] = static_cast<std::uint32_t>(i);
        if (!m_points.empty()) Build(0, m_points.size(), -1, 0);
    }

    // The element nearest to (x, y), the lowest position on a tie.
    Key Nearest(double x, double y) const {
        Key best{std::numeric_limits<std::size_t>::max(), 0};
        double bestD = kInf;
        if (!m_nodes.empty()) Search(0, x, y, &bestD, &best);
        return best;
    }

    // The element moved from one position to another.
    void Move(std::uint32_t id, std::size_t from, std::size_t to) {
        for (std::uint32_t p : m_pointsOf[id]) {
            m_points[p].owners.erase({from, id});
            m_points[p].owners.insert({to, id});
        }
    }

    void Remove(std::uint32_t id, std::size_t at) {
        for (std::uint32_t p : m_pointsOf[id]) {
            Point& pt = m_points[p];
            pt.owners.erase({at, id});
            if (pt.owners.empty()) {
                for (int n = pt.leaf; n >= 0; n = m_nodes[n].parent) --m_nodes[n].alive;
            }
        }
    }

  private:
    struct Point {
        double x, y;
        std::set<Key> owners;
        int leaf;
    };
    struct Node {
        double minX, minY, maxX, maxY;
        int left = -1, right = -1, parent = -1;
        std::size_t begin = 0, end = 0;  // m_order range of a leaf
        int alive = 0;
    };
    static constexpr std::size_t kLeaf = 8;

    int Build(std::size_t begin, std::size_t end, int parent, int depth) {
        const int index = static_cast<int>(m_nodes.size());
        m_nodes.push_back(Node{});
        Node n;
        n.parent = parent;
        n.minX = n.minY = kInf;
        n.maxX = n.maxY = -kInf;
        for (std::size_t i = begin; i < end; ++i) {
            const Point& p = m_points[m_order[i]];
            n.minX = std::min(n.minX, p.x);
            n.maxX = std::max(n.maxX, p.x);
            n.minY = std::min(n.minY, p.y);
            n.maxY = std::max(n.maxY, p.y);
        }
        n.alive = static_cast<int>(end - begin);
        if (end - begin <= kLeaf) {
            n.begin = begin;
            n.end = end;
            for (std::size_t i = begin; i < end; ++i) m_points[m_order[i]].leaf = index;
        } else {
            // Split the wider side at the median.
            const bool byX = (n.maxX - n.minX) >= (n.maxY - n.minY);
            const std::size_t mid = begin + (end - begin) / 2;
            std::nth_element(m_order.begin() + begin, m_order.begin() + mid, m_order.begin() + end,
                             [&](std::uint32_t a, std::uint32_t b) {
                                 return byX ? m_points[a].x < m_points[b].x
                                            : m_points[a].y < m_points[b].y;
                             });
            n.left = Build(begin, mid, index, depth + 1);
            n.right = Build(mid, end, index, depth + 1);
        }
        m_nodes[index] = n;
        return index;
    }

    // No point in the box is nearer than this (exactly: the same roundings
    // as Distance2, and they only grow with the true distance).
    static double LowerBound(const Node& n, double x, double y) {
        const double dx = std::max({0.0, n.minX - x, x - n.maxX});
        const double dy = std::max({0.0, n.minY - y, y - n.maxY});
        return dx * dx + dy * dy;
    }

    void Search(int index, double x, double y, double* bestD, Key* best) const {
        const Node& n = m_nodes[index];
        if (n.alive == 0 || LowerBound(n, x, y) > *bestD) return;
        if (n.left < 0) {
            for (std::size_t i = n.begin; i < n.end; ++i) {
                const Point& p = m_points[m_order[i]];
                if (p.owners.empty()) continue;
                const double d = Distance2(x, y, p.x, p.y);
                const Key& k = *p.owners.begin();
                if (d < *bestD || (d == *bestD && k < *best)) {
                    *bestD = d;
                    *best = k;
                }
            }
            return;
        }
        const double dl = LowerBound(m_nodes[n.left], x, y);
        const double dr = LowerBound(m_nodes[n.right], x, y);
        if (dl <= dr) {
            Search(n.left, x, y, bestD, best);
            Search(n.right, x, y, bestD, best);
        } else {
            Search(n.right, x, y, bestD, best);
            Search(n.left, x, y, bestD, best);
        }
    }

    std::vector<Point> m_points;
    std::vector<std::vector<std::uint32_t>> m_pointsOf;  // per element: its points (1 or 2)
    std::vector<std::uint32_t> m_order;                  // points in tree order
    std::vector<Node> m_nodes;
};

}  // namespace

Ordering OrderNearest(const std::vector<Endpoints>& elements) {
    const std::size_t n = elements.size();
    PointIndex index(elements);
    std::vector<std::uint32_t> idAt(n);
    std::vector<std::size_t> posOf(n);
    for (std::size_t i = 0; i < n; ++i) {
        idAt[i] = static_cast<std::uint32_t>(i);
        posOf[i] = i;
    }
    // The current point of every step so far: an element's turns at earlier
    // steps matter only when its ends are equally far at the step it is
    // chosen, and are then replayed from here.
    std::vector<std::pair<double, double>> history;
    history.reserve(n);
    Ordering out;
    out.order.reserve(n);
    out.reversed.reserve(n);
    double cx = 0, cy = 0;
    for (std::size_t i = 0; i < n; ++i) {
        history.push_back({cx, cy});
        const std::uint32_t id = index.Nearest(cx, cy).second;
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
        const std::size_t at = posOf[id];
        const std::uint32_t displaced = idAt[i];
        index.Remove(id, at);
        if (displaced != id) {
            index.Move(displaced, i, at);
            idAt[at] = displaced;
            posOf[displaced] = at;
        }
        idAt[i] = id;
        posOf[id] = i;
        out.order.push_back(id);
        out.reversed.push_back(reversed);
        cx = reversed ? e.sx : e.ex;
        cy = reversed ? e.sy : e.ey;
    }
    return out;
}

}  // namespace stagedesk::dxf
