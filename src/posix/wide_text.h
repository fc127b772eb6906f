// The lossless mapping between Linux byte strings and wide text.
//
// Valid UTF-8 becomes its code points; every byte that does not start or
// belong to a valid UTF-8 sequence becomes U+DC80 + byte (a lone low
// surrogate, which valid UTF-8 never yields), so any byte string comes back
// unchanged from a round trip.
#pragma once

#include <string>
#include <string_view>

namespace posix {

std::wstring WideFromBytes(std::string_view bytes);
std::string BytesFromWide(std::wstring_view wide);

}  // namespace posix
