// The check a downloaded firmware image passes before it is stored: enough to
// keep damaged downloads and other files out of the store, without asking
// whether this tool's loader could expand the contents.
#ifndef CORVALITH_UPDATER_BIRDIMAGECHECK_H
#define CORVALITH_UPDATER_BIRDIMAGECHECK_H

#include <cstddef>
#include <cstdint>

// True for a valid BIRD header (BirdFile::HasValidHeader) followed by one
// complete zlib stream of at most BirdFile::kMaxContainerSize bytes, however
// far it expands. False for anything else, a cut or damaged stream included.
[[nodiscard]] bool IsStorableBirdImage(const uint8_t* data, size_t size);

#endif
