// The check that every call taking a caller's block with its length makes
// before it appends or sends anything.
#pragma once

namespace zqlusb {

// A block can be used when its length is 0 or more and, unless the length is
// 0, it has an address.
inline bool UsableBlock(const void *data, int length) {
    return length >= 0 && (data != nullptr || length == 0);
}

} // namespace zqlusb
