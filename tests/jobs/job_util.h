#pragma once
// What the job tests share: a split through the real job, as users run it.

#include <gtest/gtest.h>

#include <QString>
#include <cstdint>
#include <string>

#include "jobs/jobs.h"

namespace morvane::test {

inline QString q(const std::string& s) {
    return QString::fromStdString(s);
}

// Splits source with recovery chunks and returns the chunk folder.
inline std::string split(const std::string& source, std::int64_t chunkSize, int recovery) {
    jobs::SplitOrder order;
    order.source = q(source);
    order.chunkSize = chunkSize;
    order.recovery = recovery;
    jobs::SplitJob job(order);
    EXPECT_TRUE(job.prepare());
    job.execute();
    EXPECT_TRUE(job.outcome()) << job.outcome().describe();
    return job.chunkFolder().toStdString();
}

}  // namespace morvane::test
