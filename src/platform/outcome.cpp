#include "platform/outcome.h"

#include <cerrno>
#include <cstring>

#include "platform/encoding.h"

namespace morvane {

Fault faultOfErrno(int err) {
    switch (err) {
        case 0:
            return Fault::Invalid;
        case ENOENT:
        case ENOTDIR:
            return Fault::NotFound;
        case EEXIST:
            return Fault::Exists;
        case ENOTEMPTY:
            return Fault::NotEmpty;
        case EWOULDBLOCK:
        case EBUSY:
            return Fault::Busy;
        case ENOSPC:
#ifdef EDQUOT  // Windows has no quota errno: a quota there is ERROR_DISK_FULL
        case EDQUOT:
#endif
            return Fault::NoSpace;
        case EACCES:
        case EPERM:
        case EROFS:
            return Fault::Denied;
        case ECANCELED:
            return Fault::Cancelled;
        case EINVAL:
        case ENAMETOOLONG:
        case EILSEQ:
        case EFBIG:
            return Fault::Invalid;
        default:
            return Fault::System;
    }
}

Outcome Outcome::systemFailure(std::string path, int err) {
    return failure(faultOfErrno(err), std::move(path), std::strerror(err), err);
}

Outcome Outcome::failure(std::string path, std::string reason, int err) {
    return failure(faultOfErrno(err), std::move(path), std::move(reason), err);
}

Outcome Outcome::failure(Fault fault, std::string path, std::string reason, int err) {
    Outcome o;
    o.ok = false;
    o.fault = fault;
    o.path = std::move(path);
    o.reason = std::move(reason);
    o.error = err;
    return o;
}

Outcome Outcome::cancel() {
    Outcome o = failure(Fault::Cancelled, "", "cancelled", ECANCELED);
    o.cancelled = true;
    return o;
}

void Outcome::absorb(const Outcome& later) {
    if (later.ok) return;
    if (ok) {
        *this = later;
        return;
    }
    // A failure found on the way out of a cancelled job does not make it a failed one.
    if (cancelled || later.cancelled) {
        cancelled = true;
        return;
    }
    furtherFailures += 1 + later.furtherFailures;
}

std::string Outcome::describe() const {
    if (ok) return "success";
    std::string text;
    if (!path.empty()) {
        std::string native;
        text = plat::toNativeText(path, &native) ? native : path;
        text += ": ";
    }
    text += reason;
    if (furtherFailures > 0)
        text += " (and " + std::to_string(furtherFailures) + " more failure" +
                (furtherFailures > 1 ? "s" : "") + ")";
    return text;
}

}  // namespace morvane
