// INI ("private profile") files with the semantics the agent relies on:
//  - a missing file, section or key gives the caller's default;
//  - section and key names match regardless of letter case;
//  - blanks around values are dropped;
//  - a write creates the file, the section and the key as needed, replaces
//    an earlier value, and changes nothing else in the file (other keys,
//    comments, blank lines and their order stay as they were);
//  - the folder of the file is never created: a write into a missing
//    folder fails.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// At most size - 1 characters of the value (or of the default) are
// returned: the profile functions' buffer of `size` characters holds a
// terminator too. size 0 returns nothing.
std::u16string ReadProfileValue(const std::string& path, std::u16string_view section,
                                 std::u16string_view key, std::u16string_view fallback,
                                 size_t size);

// True when the file now holds the value.
bool WriteProfileValue(const std::string& path, std::u16string_view section,
                        std::u16string_view key, std::u16string_view value);

}  // namespace platform
