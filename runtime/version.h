// The check of the running interpreter's version against the one the module
// was built for.
#pragma once

#include <cstdint>

namespace rt {

// The version text's leading "major.minor.micro.fourth" as one number:
// major << 24 + minor << 16 + micro << 8 + fourth, computed in 32 bits on
// every platform, so oversized components wrap into the neighbouring bytes
// (each component is added, never masked). Each component is read up to its
// first non-digit; reading stops after the fourth component or at the first
// component not followed by '.'.
uint32_t parse_version(const char* text) noexcept;

// Warns (RuntimeWarning) when the major and minor bytes of the version in
// `text` differ from `major`.`minor`. 0, or -1 when issuing the warning raised.
int check_version_text(const char* text, int major, int minor, const char* module_name) noexcept;

// check_version_text() for the running interpreter.
int check_version(int major, int minor, const char* module_name) noexcept;

}  // namespace rt
