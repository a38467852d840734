#include "updater/BirdImageCheck.h"

#include <zlib.h>

#include <climits>
#include <cstring>
#include <vector>

#include "updater/BirdFile.h"

namespace {

constexpr size_t kInflateChunk = 16384;

// Inflates into a scratch buffer, keeping nothing: only whether the stream
// ends properly within the size bound matters.
bool sIsCompleteZlibStream(const uint8_t* data, size_t size) {
  if (size == 0 || size > UINT_MAX) return false;
  z_stream stream;
  std::memset(&stream, 0, sizeof(stream));
  if (inflateInit(&stream) != Z_OK) return false;
  stream.next_in = const_cast<Bytef*>(data);
  stream.avail_in = static_cast<uInt>(size);
  std::vector<uint8_t> scratch(kInflateChunk);
  size_t produced = 0;
  int rc = Z_OK;
  // Each round either consumes input or produces output (else inflate answers
  // Z_BUF_ERROR), and output is bounded, so the loop ends.
  while (rc == Z_OK && produced <= BirdFile::kMaxContainerSize) {
    stream.next_out = scratch.data();
    stream.avail_out = static_cast<uInt>(scratch.size());
    rc = inflate(&stream, Z_NO_FLUSH);
    produced += scratch.size() - stream.avail_out;
  }
  inflateEnd(&stream);
  return rc == Z_STREAM_END && produced <= BirdFile::kMaxContainerSize;
}

}  // namespace

bool IsStorableBirdImage(const uint8_t* data, size_t size) {
  if (!BirdFile::HasValidHeader(data, size)) return false;
  return sIsCompleteZlibStream(data + BirdFile::kHeaderSize, size - BirdFile::kHeaderSize);
}
