// The management platform that answers a REST client, and its version.
#ifndef SMARTX_COMMON_VERSION_H
#define SMARTX_COMMON_VERSION_H

#include <string>

#include "host/json_spirit/value.h"
#include "host/loose_version.h"

namespace smartx {

class Version {
public:
    enum Platform { NONE = 0, CLOUDTOWER = 1, FISHEYE = 2 };

    Platform platform = NONE;
    Loose_Version version;

    Version() = default;
    // As parse; the result is not reported.
    Version(Platform p, const std::string& text);

    // Sets the platform and reads the dotted version from text. The version
    // endpoint may put one quote or a "v" before the numbers; it is skipped.
    // An empty text fails and changes nothing.
    bool parse(Platform p, const std::string& text);
    // parse of a string value with the current platform.
    bool load(const json_spirit::Value& value);

    bool empty() const { return platform == NONE || !version; }
    bool is_cloudtower_platform() const { return platform == CLOUDTOWER; }
    // CloudTower 3.0.0 or later.
    bool supported() const;
    // "CloudTower/4.1.0", "FishEye/2.0"; "" when empty.
    std::string str() const;
};

}  // namespace smartx

#endif
