// The check a downloaded firmware image passes before it is stored: enough to
// keep damaged downloads and other files out of the store, without asking
// whether this tool's loader could expand the contents.
#ifndef CORVALITH_UPDATER_BIRDIMAGECHECK_H
#define CORVALITH_UPDATER_BIRDIMAGECHECK_H

#include <cstddef>
#include <cstdint>

// True for the "bird" signature with both format-version bytes non-zero,
// followed by one complete zlib stream (however far it expands, up to
// kMaxBirdContainerSize). False for anything else, a cut or damaged stream
// included.
[[nodiscard]] bool IsStorableBirdImage(const uint8_t* data, size_t size);

// Largest decompressed container accepted (bytes); far above any module's
// firmware, it bounds the work a hostile stream can cause.
constexpr size_t kMaxBirdContainerSize = 256u * 1024u * 1024u;

#endif
