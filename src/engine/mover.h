#pragma once
// The one place where split and join bytes move from one file to another.

#include <cstdint>

#include "engine/job_control.h"
#include "engine/sha256.h"
#include "platform/native.h"

namespace morvane {

// Copies up to length bytes from the current position of from to the current position
// (or the end, for an append) of to, adding every block to the job's progress. *moved
// gets the bytes copied; fewer than length means from ended. Read and write failures
// are returned with their file; a cancel request is seen before every block. With a hash,
// every byte passes through it on its way: the bytes are read once, hashed and written.
Outcome moveBytes(plat::File& from, plat::File& to, std::int64_t length, std::int64_t* moved,
                  JobControl& control, Sha256* hash = nullptr);

// Passes over length bytes of from without writing them anywhere: read into the hash when
// there is one, else a seek. *moved gets the bytes passed.
Outcome skipBytes(plat::File& from, std::int64_t length, std::int64_t* moved, JobControl& control,
                  Sha256* hash = nullptr);

}  // namespace morvane
