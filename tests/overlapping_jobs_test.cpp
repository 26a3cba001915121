// Jobs whose sectors overlap: all are written, in order, and the later wins.
#include <unistd.h>

#include <tuple>

#include "program_fixture.h"

namespace {

struct OverlapJob {
    const char* name;
    unsigned sector;
    size_t size;
};

struct OverlapCase {
    const char* what;
    std::vector<OverlapJob> jobs;
    // The flash after the run, from the images' own bytes: (address, image,
    // offset in the image, length).
    std::vector<std::tuple<size_t, const char*, size_t, size_t>> kept;
};

} // namespace

// Jobs are written in order, each erasing its sectors, so where two overlap
// the later job wins, and the run still completes with status 0.
TEST_F(ProgramTest, OverlappingJobsAreAllWrittenAndTheLaterWins) {
    const std::vector<OverlapCase> cases = {
        {"a later job in an earlier one's last sector",
         {{"c.bin", 0, 20000}, {"b.bin", 1, 100}},
         {{0, "c.bin", 0, SECTOR}, {SECTOR, "b.bin", 0, 100}}},
        {"the same sector twice", {{"a.bin", 2, 3000}, {"b.bin", 2, 100}}, {{2 * SECTOR, "b.bin", 0, 100}}},
        {"a later job covering an earlier one",
         {{"b.bin", 1, 100}, {"c.bin", 0, 20000}},
         {{0, "c.bin", 0, 20000}}},
    };
    for (const OverlapCase& overlap : cases) {
        unlink(path("flash.bin").c_str());
        std::vector<std::string> arguments;
        std::string expectedOutput = BANNER;
        unsigned seed = 1;
        for (const OverlapJob& job : overlap.jobs) {
            makeImage(job.name, job.size, seed++);
            arguments.insert(arguments.end(), {"-s", std::to_string(job.sector), "-f", job.name});
            expectedOutput += jobText(job.name, job.sector, job.size);
        }
        arguments.push_back("-e");
        ProgramResult result = run(arguments);
        EXPECT_EQ(result.status, 0) << overlap.what;
        EXPECT_EQ(result.output, expectedOutput + COMPLETED) << overlap.what;
        std::vector<std::pair<size_t, std::string>> placed;
        for (const auto& piece : overlap.kept) {
            placed.push_back(
                {std::get<0>(piece),
                 readWholeFile(path(std::get<1>(piece))).substr(std::get<2>(piece), std::get<3>(piece))});
        }
        expectFlash(placed);
    }
}
