// The check of the running interpreter's version against the one the module
// was built for.
#pragma once

namespace rt {

// The version text's leading "major.minor.micro.fourth" as one number:
// major << 24 + minor << 16 + micro << 8 + fourth. Each component is read up to
// its first non-digit; reading stops after the fourth component or at the
// first component not followed by '.'.
unsigned long parse_version(const char* text) noexcept;

// Warns (RuntimeWarning) when the running interpreter's major.minor differs
// from `major`.`minor`. 0, or -1 when issuing the warning raised.
int check_version(int major, int minor, const char* module_name) noexcept;

}  // namespace rt
