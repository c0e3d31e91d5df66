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
    // Code, read-only data and data of a large game, and two small sections:
    // the two large sections fill both threads, the code is shared.
    std::vector<SectionJob> jobs = jobsOf({9 * MB, 27 * MB, 27 * MB});
    jobs.push_back({1000, false});
    jobs.push_back({2000, false});
    const JobPlan plan = planSectionJobs(jobs, 2);
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
    const JobPlan plan = planSectionJobs(jobsOf({50, 50, 50, 50, 50}), 2);
    EXPECT_EQ(plan.shared.size(), 1u);
    EXPECT_EQ(plan.sideBySide.size(), 4u);
    expectEachOnce(plan, 5);
    expectEachOnce(planSectionJobs(jobsOf({}), 4), 0);
    expectEachOnce(planSectionJobs(jobsOf({0, 0, 0}), 3), 3);
}

TEST(CompressionJobs, FourThreadsShareWhatTwoKeepSideBySide) {
    // On four threads two large sections side by side would leave two
    // threads idle, so all three are shared.
    const JobPlan plan = planSectionJobs(jobsOf({9 * MB, 27 * MB, 27 * MB}), 4);
    EXPECT_EQ(plan.shared, (std::vector<size_t>{1, 2, 0}));
    EXPECT_TRUE(plan.sideBySide.empty());
}

TEST(CompressionJobs, SmallSectionsFillTheThreadsBesideALargeOne) {
    // One large section and little small work: the large one is shared, then
    // the small ones fill both threads.
    std::vector<SectionJob> jobs = jobsOf({20 * MB});
    for (int k = 0; k < 10; ++k) jobs.push_back({MB / 2, false});
    const JobPlan plan = planSectionJobs(jobs, 2);
    EXPECT_EQ(plan.shared, std::vector<size_t>{0});
    EXPECT_EQ(plan.sideBySide.size(), 10u);
    // As much small work as the large section: one thread takes the large
    // one, the other all the small ones, and nothing is shared.
    for (int k = 0; k < 30; ++k) jobs.push_back({MB / 2, false});
    const JobPlan even = planSectionJobs(jobs, 2);
    EXPECT_TRUE(even.shared.empty());
    expectEachOnce(even, 41);
}
