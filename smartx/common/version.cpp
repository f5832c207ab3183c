#include "smartx/common/version.h"

#include <cctype>
#include <exception>

#include "ace/Log_Msg.h"
#include "qorm/loose_version.h"
#include "qorm/snprintf.h"

namespace smartx {

Version::Version(Platform p, const std::string& text) {
    parse(p, text);
}

bool Version::parse(Platform p, const std::string& text) {
    if (text.empty()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to parse version, details: empty string.\n")));
        return false;
    }
    platform = p;
    // The endpoint puts one character before the numbers ('"', 'v', 'V', ...);
    // a text that starts with its number keeps it.
    const size_t skip = std::isdigit(static_cast<unsigned char>(text[0])) ? 0 : 1;
    return version.parse(text.c_str() + skip);
}

bool Version::load(const json_spirit::Value& value) {
    try {
        return parse(platform, value.get_str());
    } catch (const std::exception& e) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to parse version, details: %C.\n"), e.what()));
        return false;
    }
}

bool Version::supported() const {
    static const Loose_Version minimum("3.0.0");
    return platform == CLOUDTOWER && version >= minimum;
}

std::string Version::str() const {
    if (empty())
        return std::string();
    return string_sprintf("%s/%s", platform == CLOUDTOWER ? "CloudTower" : "FishEye",
                          version.str().c_str());
}

}  // namespace smartx
