#include "platform/names.h"

#include <array>
#include <cctype>

#include "platform/encoding.h"

namespace morvane::plat {

std::string windowsNameProblem(std::string_view level) {
    const char* p = level.data();
    const char* end = p + level.size();
    while (p < end) {
        // Step by character: a two-byte GB18030 character may end in the byte of "\".
        const std::size_t n = charLength(p, end);
        if (n == 1) {
            const auto c = static_cast<unsigned char>(*p);
            if (c < 0x20) return "holds a control character, which Windows does not allow in names";
            if (std::string_view("\\:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos)
                return std::string("holds \"") + static_cast<char>(c) +
                       "\", which Windows does not allow in names";
        }
        p += n;
    }
    if (!level.empty() && (level.back() == '.' || level.back() == ' '))
        return "ends in a dot or a space, which Windows drops from names";
    // The device names stand for devices whatever follows the first dot, in any case.
    std::string stem(level.substr(0, level.find('.')));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    for (char& c : stem) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    static constexpr std::array<std::string_view, 6> kDevices = {"CON", "PRN",    "AUX",
                                                                 "NUL", "CONIN$", "CONOUT$"};
    bool device = false;
    for (std::string_view d : kDevices) device = device || stem == d;
    if (stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) &&
        std::isdigit(static_cast<unsigned char>(stem[3])))
        device = true;
    if (device) return "is the name of a device on Windows";
    return "";
}

std::string nameProblemHere(std::string_view level) {
#ifdef _WIN32
    return windowsNameProblem(level);
#else
    (void)level;
    return "";
#endif
}

}  // namespace morvane::plat
