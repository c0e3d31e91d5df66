// How the sections' work is shared among the threads: only what does not fit
// beside the rest is shared, and every section is planned exactly once.
#include <gtest/gtest.h>

#include <algorithm>

#include "module/CompressionJobs.h"

namespace {

constexpr uint64_t MB = 1000000;

std::vector<SectionJob> jobsOf(std::initializer_list<uint64_t> costs, bool splittable = true) {
    std::vector<SectionJob> jobs;
    for (uint64_t cost : costs) jobs.push_back({cost, splittable});
    return jobs;
}

// Every job appears once, in one of the two lists.
void expectEachOnce(const JobPlan& plan, size_t count) {
    std::vector<size_t> all = plan.shared;
    all.insert(all.end(), plan.sideBySide.begin(), plan.sideBySide.end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), count);
    for (size_t k = 0; k < count; ++k) EXPECT_EQ(all[k], k);
}

}  // namespace

TEST(CompressionJobs, OneThreadSharesNothingAndTakesTheLargestFirst) {
    const JobPlan plan = planSectionJobs(jobsOf({5, 40, 40, 7}), 1);
    EXPECT_TRUE(plan.shared.empty());
    EXPECT_EQ(plan.sideBySide, (std::vector<size_t>{1, 2, 3, 0}));
}

TEST(CompressionJobs, OnlyTheSectionThatDoesNotFitIsShared) {
    // Code, read-only data and data of a large game: the two large sections
    // fill both threads, the code is shared.
    const JobPlan plan = planSectionJobs(jobsOf({9 * MB, 27 * MB, 27 * MB, 1000, 2000}), 2);
    EXPECT_EQ(plan.shared, std::vector<size_t>{0});
    EXPECT_EQ(plan.sideBySide, (std::vector<size_t>{1, 2, 4, 3}));
    expectEachOnce(plan, 5);
}

TEST(CompressionJobs, OneLargeSectionIsSharedAndSmallOnesGoBesideEachOther) {
    const JobPlan plan = planSectionJobs(jobsOf({60 * MB, 3 * MB, 3 * MB}), 2);
    EXPECT_EQ(plan.shared, std::vector<size_t>{0});
    EXPECT_EQ(plan.sideBySide, (std::vector<size_t>{1, 2}));
}

TEST(CompressionJobs, SectionsThatCannotBeSplitAreNeverShared) {
    const JobPlan plan = planSectionJobs(jobsOf({60 * MB, 3 * MB}, false), 8);
    EXPECT_TRUE(plan.shared.empty());
    EXPECT_EQ(plan.sideBySide, (std::vector<size_t>{0, 1}));
}

TEST(CompressionJobs, ManyThreadsShareEveryLargeSection) {
    const JobPlan plan = planSectionJobs(jobsOf({9 * MB, 27 * MB, 27 * MB}), 16);
    EXPECT_EQ(plan.shared, (std::vector<size_t>{1, 2, 0}));
    EXPECT_TRUE(plan.sideBySide.empty());
}

TEST(CompressionJobs, EqualSectionsFillTheThreadsBeforeOneIsShared) {
    const JobPlan plan = planSectionJobs(jobsOf({5, 5, 5, 5, 5}), 2);
    EXPECT_EQ(plan.shared, std::vector<size_t>{4});
    EXPECT_EQ(plan.sideBySide, (std::vector<size_t>{0, 1, 2, 3}));
    expectEachOnce(planSectionJobs(jobsOf({}), 4), 0);
    expectEachOnce(planSectionJobs(jobsOf({0, 0, 0}), 3), 3);
}
