#include "platform/encoding.h"

#ifdef _WIN32
#include <windows.h>

#include <climits>
#else
#include <iconv.h>

#include <cerrno>
#include <vector>
#endif

namespace morvane::plat {
namespace {

bool isAscii(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

#ifdef _WIN32

constexpr UINT kGb18030 = 54936;

// The system's converters, refusing what they cannot map rather than putting in "?".
bool multiByteToWide(UINT codePage, std::string_view in, std::wstring* out) {
    out->clear();
    if (in.empty()) return true;
    if (in.size() > INT_MAX) return false;
    const int inLength = static_cast<int>(in.size());
    const int n =
        MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.data(), inLength, nullptr, 0);
    if (n <= 0) return false;
    out->resize(static_cast<std::size_t>(n));
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.data(), inLength, out->data(),
                               n) == n;
}

bool wideToMultiByte(UINT codePage, std::wstring_view in, std::string* out) {
    out->clear();
    if (in.empty()) return true;
    if (in.size() > INT_MAX) return false;
    const int inLength = static_cast<int>(in.size());
    const int n = WideCharToMultiByte(codePage, WC_ERR_INVALID_CHARS, in.data(), inLength, nullptr,
                                      0, nullptr, nullptr);
    if (n <= 0) return false;
    out->resize(static_cast<std::size_t>(n));
    return WideCharToMultiByte(codePage, WC_ERR_INVALID_CHARS, in.data(), inLength, out->data(), n,
                               nullptr, nullptr) == n;
}

#else

// One converter per direction and thread: iconv_t keeps shift state and is not shareable.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool convert(std::string_view in, std::string* out) {
        if (cd_ == reinterpret_cast<iconv_t>(-1)) return false;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        std::string result;
        // GB18030 and UTF-8 characters are at most 4 bytes each.
        std::vector<char> buffer(in.size() * 4 + 16);
        char* src = const_cast<char*>(in.data());
        std::size_t srcLeft = in.size();
        char* dst = buffer.data();
        std::size_t dstLeft = buffer.size();
        if (iconv(cd_, &src, &srcLeft, &dst, &dstLeft) == static_cast<std::size_t>(-1))
            return false;
        if (iconv(cd_, nullptr, nullptr, &dst, &dstLeft) == static_cast<std::size_t>(-1))
            return false;
        out->assign(buffer.data(), buffer.size() - dstLeft);
        return true;
    }

private:
    iconv_t cd_;
};

#endif

}  // namespace

#ifdef _WIN32

// ASCII is the same in GB18030, UTF-8 and UTF-16, so it needs no converter: that keeps
// ASCII names working where the system lacks code page 54936.
bool toWideText(std::string_view engine, std::wstring* out) {
    if (isAscii(engine)) {
        out->assign(engine.begin(), engine.end());
        return true;
    }
    return multiByteToWide(kGb18030, engine, out);
}

bool fromWideText(std::wstring_view wide, std::string* out) {
    bool ascii = true;
    for (wchar_t c : wide) ascii = ascii && c < 0x80;
    if (ascii) {
        out->clear();
        for (wchar_t c : wide) out->push_back(static_cast<char>(c));
        return true;
    }
    return wideToMultiByte(kGb18030, wide, out);
}

bool toEngineText(std::string_view native, std::string* out) {
    if (isAscii(native)) {
        out->assign(native);
        return true;
    }
    std::wstring wide;
    return multiByteToWide(CP_UTF8, native, &wide) && wideToMultiByte(kGb18030, wide, out);
}

bool toNativeText(std::string_view engine, std::string* out) {
    if (isAscii(engine)) {
        out->assign(engine);
        return true;
    }
    std::wstring wide;
    return multiByteToWide(kGb18030, engine, &wide) && wideToMultiByte(CP_UTF8, wide, out);
}

#else

bool toEngineText(std::string_view native, std::string* out) {
    if (isAscii(native)) {
        out->assign(native);
        return true;
    }
    thread_local Converter toGb("GB18030", "UTF-8");
    return toGb.convert(native, out);
}

bool toNativeText(std::string_view engine, std::string* out) {
    if (isAscii(engine)) {
        out->assign(engine);
        return true;
    }
    thread_local Converter toUtf8("UTF-8", "GB18030");
    return toUtf8.convert(engine, out);
}

#endif

bool toEngineText(const QString& text, std::string* out) {
    const QByteArray utf8 = text.toUtf8();
    return toEngineText(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())),
                        out);
}

QString fromEngineText(std::string_view engine) {
    std::string native;
    if (!toNativeText(engine, &native)) return QString();
    return QString::fromUtf8(native.data(), static_cast<qsizetype>(native.size()));
}

std::size_t charLength(const char* p, const char* end) {
    const auto lead = static_cast<unsigned char>(p[0]);
    std::size_t len = 1;
    if (lead >= 0x81 && lead <= 0xFE && end - p >= 2) {
        const auto second = static_cast<unsigned char>(p[1]);
        len = (second >= 0x30 && second <= 0x39) ? 4 : 2;
    }
    const auto left = static_cast<std::size_t>(end - p);
    return len < left ? len : left;
}

}  // namespace morvane::plat
