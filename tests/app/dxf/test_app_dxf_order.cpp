// The nearest-first ordering: the indexed one against the straightforward
// procedure on drawings full of shared end points, duplicates and ties, and
// the procedure's own rules.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "DxfOrder.h"
#include "DxfPath.h"

namespace stagedesk::dxf {
namespace {

void ExpectSameOrdering(const std::vector<Endpoints>& elements, const char* what) {
    const Ordering slow = OrderStraightforward(elements);
    const Ordering fast = OrderNearest(elements);
    ASSERT_EQ(slow.order.size(), elements.size()) << what;
    ASSERT_EQ(fast.order.size(), elements.size()) << what;
    for (std::size_t i = 0; i < elements.size(); ++i) {
        ASSERT_EQ(fast.order[i], slow.order[i]) << what << ": position " << i;
        ASSERT_EQ(fast.reversed[i], slow.reversed[i]) << what << ": position " << i;
    }
}

// Drawings whose end points sit on a coarse grid, so that ends are shared,
// whole elements repeat and many distances are equal.
std::vector<Endpoints> GridDrawing(std::mt19937& rng, int count, int grid, double step,
                                   int duplicatePercent, int closedPercent) {
    std::uniform_int_distribution<int> cell(-grid, grid);
    std::uniform_int_distribution<int> percent(0, 99);
    std::vector<Endpoints> d;
    while (static_cast<int>(d.size()) < count) {
        if (!d.empty() && percent(rng) < duplicatePercent) {
            d.push_back(d[rng() % d.size()]);
            continue;
        }
        Endpoints e{cell(rng) * step, cell(rng) * step, cell(rng) * step, cell(rng) * step};
        if (percent(rng) < closedPercent) {
            e.ex = e.sx;
            e.ey = e.sy;
        }
        d.push_back(e);
    }
    return d;
}

TEST(DxfOrder, TheIndexedOrderingIsTheStraightforwardOne) {
    std::mt19937 rng(4501);
    struct Case {
        const char* what;
        int count, grid;
        double step;
        int duplicates, closed;
    } cases[] = {
        {"tiny grid, everything shared", 300, 2, 1.0, 10, 10},
        {"small grid, many ties", 1500, 6, 0.5, 20, 5},
        {"duplicates only", 400, 1, 1.0, 80, 0},
        {"closed shapes", 600, 5, 1.0, 0, 60},
        {"wide grid", 2000, 1000, 0.001, 5, 5},
        {"binary-unfriendly step", 1200, 8, 0.1, 10, 10},
    };
    for (const Case& c : cases) {
        for (int round = 0; round < 3; ++round) {
            ExpectSameOrdering(GridDrawing(rng, c.count, c.grid, c.step, c.duplicates, c.closed),
                               c.what);
        }
    }
    // Continuous coordinates, and symmetric ones: every element mirrored in
    // both axes, so the origin sees ends at exactly equal distances.
    std::uniform_real_distribution<double> u(-100, 100);
    std::vector<Endpoints> symmetric;
    for (int i = 0; i < 500; ++i) {
        const double a = u(rng), b = u(rng), c = u(rng), d = u(rng);
        symmetric.push_back({a, b, c, d});
        symmetric.push_back({-a, -b, -c, -d});
        symmetric.push_back({a, b, -a, -b});
    }
    ExpectSameOrdering(symmetric, "symmetric");
    ExpectSameOrdering({}, "empty");
}

TEST(DxfOrder, AnEndAsNearAsTheStartIsTurnedAndTheFirstOfEqualElementsGoesFirst) {
    const std::vector<Endpoints> elements = {
        {5, 1, -5, 1},  // both ends equally far from the origin: turned round
        {1, 5, 1, 9},   // farther
        {-5, 1, 5, 1},  // as near as the first: the first stays first
    };
    for (const Ordering& o : {OrderStraightforward(elements), OrderNearest(elements)}) {
        ASSERT_EQ(o.order.size(), 3u);
        EXPECT_EQ(o.order[0], 0u);
        EXPECT_TRUE(o.reversed[0]);
    }
}

// An element turned at one step and turned back at the next runs as drawn:
// `reversed` says how it stands when it is chosen, not whether it was ever
// turned.
TEST(DxfOrder, ReversedSaysHowTheElementStandsWhenChosen) {
    const std::vector<Endpoints> elements = {
        {5, 1, -1, 1},     // from the origin its end is nearer: turned at step 0
        {0, 0.5, 6, 0.5},  // chosen first; from (6, 0.5) the first one's start is nearer
    };
    for (const Ordering& o : {OrderStraightforward(elements), OrderNearest(elements)}) {
        ASSERT_EQ(o.order, (std::vector<std::uint32_t>{1, 0}));
        EXPECT_FALSE(o.reversed[0]);
        EXPECT_FALSE(o.reversed[1]) << "turned back at step 1, it runs from (5, 1) as drawn";
    }
}

// Elements whose start is their end are never turned, however often they
// are examined with equal distances.
TEST(DxfOrder, ClosedElementsKeepTheirDirection) {
    std::vector<Endpoints> elements;
    for (int i = 0; i < 7; ++i) elements.push_back({3.0 + i, 0, 3.0 + i, 0});
    for (const Ordering& o : {OrderStraightforward(elements), OrderNearest(elements)}) {
        for (std::size_t i = 0; i < o.order.size(); ++i) {
            EXPECT_EQ(o.order[i], i);
            EXPECT_FALSE(o.reversed[i]);
        }
    }
}

}  // namespace
}  // namespace stagedesk::dxf
