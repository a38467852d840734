#include "support/TestBird.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "support/TempFiles.h"

namespace {

void sPut32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void sBlock(std::vector<uint8_t>& out, uint8_t type, uint8_t flags, const std::vector<uint8_t>& data) {
  out.push_back(static_cast<uint8_t>(type | (flags << 5)));
  sPut32(out, static_cast<uint32_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
}

std::vector<uint8_t> sField(const std::string& text) {
  std::vector<uint8_t> f(16, ' ');
  std::copy_n(text.begin(), std::min<size_t>(16, text.size()), f.begin());
  return f;
}

}  // namespace

std::vector<uint8_t> TestBird::bytes() const {
  std::vector<uint8_t> blocks;
  uint32_t count = 0;
  std::vector<uint8_t> descriptor;
  char serialText[16];
  std::snprintf(serialText, sizeof serialText, "%08X", serial);
  for (const std::string& field : {std::to_string(build), version, std::string(serialText), model}) {
    std::vector<uint8_t> f = sField(field);
    descriptor.insert(descriptor.end(), f.begin(), f.end());
  }
  sBlock(blocks, 4, 0, descriptor);
  ++count;
  if (generic) {
    std::vector<uint8_t> offsets;
    sPut32(offsets, serialWordAddress);
    sPut32(offsets, serialTextAddress);
    sBlock(blocks, 2, 0, offsets);
    ++count;
  }
  for (uint8_t type : {uint8_t{0}, uint8_t{1}}) {
    for (const Block& b : type == 0 ? loader : firmware) {
      std::vector<uint8_t> data;
      sPut32(data, b.address);
      data.insert(data.end(), b.payload.begin(), b.payload.end());
      sBlock(blocks, type, b.flags, data);
      ++count;
    }
  }
  if (loaderStart != 0) {
    std::vector<uint8_t> start;
    sPut32(start, loaderStart);
    sBlock(blocks, 5, 0, start);
    ++count;
  }
  std::vector<uint8_t> container;
  sPut32(container, count);
  container.insert(container.end(), blocks.begin(), blocks.end());
  uint32_t sum = 0;
  for (uint8_t b : container) sum += b;
  sPut32(container, sum);

  uLongf size = compressBound(container.size());
  std::vector<uint8_t> out{'b', 'i', 'r', 'd', 0x01, 0x01};
  out.resize(6 + size);
  if (compress2(out.data() + 6, &size, container.data(), container.size(), 6) != Z_OK) {
    throw std::runtime_error("TestBird: zlib failed");
  }
  out.resize(6 + size);
  return out;
}

void TestBird::write(const std::string& path) const {
  WriteBytes(path, bytes());
}

std::vector<uint8_t> TestPayload(size_t n, uint32_t seed) {
  std::vector<uint8_t> out(n);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& b : out) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

std::vector<uint8_t> FlashImage(const std::vector<TestBird::Block>& blocks) {
  std::vector<uint8_t> image;
  for (const TestBird::Block& b : blocks) {
    if (image.size() < b.address + b.payload.size()) image.resize(b.address + b.payload.size(), 0xFF);
    std::copy(b.payload.begin(), b.payload.end(), image.begin() + b.address);
  }
  return image;
}
