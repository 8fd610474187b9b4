#include "platform/outcome.h"

#include <cstring>

#include "platform/encoding.h"

namespace morvane {

Outcome Outcome::systemFailure(std::string path, int err) {
    return failure(std::move(path), std::strerror(err), err);
}

Outcome Outcome::failure(std::string path, std::string reason, int err) {
    Outcome o;
    o.ok = false;
    o.path = std::move(path);
    o.reason = std::move(reason);
    o.error = err;
    return o;
}

void Outcome::absorb(const Outcome& later) {
    if (later.ok) return;
    if (ok) {
        *this = later;
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
