// UUID text <-> 16 bytes.
#ifndef HOST_UUID_H
#define HOST_UUID_H

#include <string>

// Accepts "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (either case) or 32 hex
// digits; false leaves out untouched.
bool uuid_from_string(const std::string& text, unsigned char out[16]);
// Lower-case canonical form.
std::string uuid_to_string(const unsigned char in[16]);
// A random (version 4) UUID text.
std::string uuid_generate_text();

#endif
