//===- packer/image/icon.cpp - Icon files and their resources -------------===//
#include "packer/image/icon.h"

#include <string.h>

#include "packer/failure.h"

namespace veskar {

namespace {

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// At most this many images: the group directory counts them in 16 bits, but
// no real icon comes near this, and it bounds the work on a hostile file.
const size_t kMaxImages = 256;

// The icon file: a directory header (reserved 0, type, image count), then
// one entry per image.
const size_t kIconHeaderSize = 6;
const size_t kIconEntrySize = 16;
const uint16_t kIconType = 1; // 2 would be a cursor
// An entry's width or height of 0 stands for this many pixels.
const uint32_t kLargestIconPixels = 256;

// A PNG's first chunk, IHDR: its length, "IHDR", then the width, height,
// bit depth and colour type.
const size_t kIhdrLengthOffset = sizeof kPngSignature;
const size_t kIhdrTypeOffset = kIhdrLengthOffset + 4;
const size_t kIhdrDataOffset = kIhdrTypeOffset + 4;
const uint32_t kIhdrLength = 13;
// A BMP image in an icon starts with a BITMAPINFOHEADER or a longer
// version of it.
const uint32_t kBitmapInfoHeaderSize = 40;

uint32_t GetBig32(const uint8_t *at) {
  return ((uint32_t)at[0] << 24) | ((uint32_t)at[1] << 16) |
         ((uint32_t)at[2] << 8) | at[3];
}

// The entry's width or height as pixels.
uint32_t Pixels(uint8_t stored) {
  return stored == 0 ? kLargestIconPixels : stored;
}

// Checks one image and gives its pixel size and bit depth.
bool InspectImage(const Bytes &image, size_t index, uint32_t *width,
                  uint32_t *height, uint16_t *bitCount, std::string *error) {
  std::string which = "icon image " + std::to_string(index + 1);
  if (image.size() >= sizeof kPngSignature &&
      memcmp(image.data(), kPngSignature, sizeof kPngSignature) == 0) {
    const uint8_t *ihdr = image.data() + kIhdrDataOffset;
    if (image.size() < kIhdrDataOffset + kIhdrLength ||
        GetBig32(image.data() + kIhdrLengthOffset) != kIhdrLength ||
        memcmp(image.data() + kIhdrTypeOffset, "IHDR", 4) != 0)
      return Fail(error, which + " is a damaged PNG (no IHDR chunk)");
    *width = GetBig32(ihdr);
    *height = GetBig32(ihdr + 4);
    uint8_t depth = ihdr[8], colourType = ihdr[9];
    // Channels per colour type; 0 for the types PNG does not define.
    static const uint8_t kChannels[] = {1, 0, 3, 1, 2, 0, 4};
    const uint8_t kIndexedColour = 3; // one palette index per pixel
    uint8_t channels =
        colourType < sizeof kChannels ? kChannels[colourType] : 0;
    if (channels == 0)
      return Fail(error, which + " is a PNG of an unknown colour type");
    *bitCount =
        colourType == kIndexedColour ? depth : (uint16_t)(depth * channels);
    return true;
  }
  // A BMP: a BITMAPINFOHEADER (or a later, longer version) whose height
  // counts the colour image and the mask.
  if (image.size() < kBitmapInfoHeaderSize ||
      GetLittleEndian32(image.data()) < kBitmapInfoHeaderSize ||
      GetLittleEndian32(image.data()) > image.size())
    return Fail(error, which + " is neither a PNG nor a BMP image");
  int32_t w = (int32_t)GetLittleEndian32(image.data() + 4);
  int32_t h = (int32_t)GetLittleEndian32(image.data() + 8);
  uint16_t planes = GetLittleEndian16(image.data() + 12);
  uint16_t bits = GetLittleEndian16(image.data() + 14);
  if (w <= 0 || h <= 0 || h % 2 != 0 || planes != 1 ||
      (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 &&
       bits != 32))
    return Fail(error, which + " is a BMP with a header an icon cannot have");
  *width = (uint32_t)w;
  *height = (uint32_t)h / 2;
  *bitCount = bits;
  return true;
}

} // namespace

bool ParseIconFile(const Bytes &file, std::vector<IconImage> *images,
                   std::string *error) {
  if (file.size() < kIconHeaderSize || GetLittleEndian16(file.data()) != 0 ||
      GetLittleEndian16(file.data() + 2) != kIconType)
    return Fail(error, "not an icon file (no icon directory header)");
  size_t count = GetLittleEndian16(file.data() + 4);
  if (count == 0)
    return Fail(error, "the icon file holds no images");
  if (count > kMaxImages)
    return Fail(error, "the icon file holds " + std::to_string(count) +
                           " images; at most " + std::to_string(kMaxImages) +
                           " are taken");
  if (file.size() < kIconHeaderSize + kIconEntrySize * count)
    return Fail(error, "the icon file's directory is cut short");
  std::vector<IconImage> result;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t *entry = file.data() + kIconHeaderSize + kIconEntrySize * i;
    IconImage image;
    image.width = entry[0];
    image.height = entry[1];
    image.colorCount = entry[2];
    image.planes = GetLittleEndian16(entry + 4);
    image.bitCount = GetLittleEndian16(entry + 6);
    uint32_t size = GetLittleEndian32(entry + 8);
    uint32_t offset = GetLittleEndian32(entry + 12);
    if (size == 0 || offset > file.size() || size > file.size() - offset)
      return Fail(error, "icon image " + std::to_string(i + 1) +
                             " lies outside the file");
    image.bytes.assign(file.begin() + offset, file.begin() + offset + size);
    uint32_t width, height;
    uint16_t bitCount;
    if (!InspectImage(image.bytes, i, &width, &height, &bitCount, error))
      return false;
    if (width != Pixels(image.width) || height != Pixels(image.height))
      return Fail(error, "icon image " + std::to_string(i + 1) + " is " +
                             std::to_string(width) + "x" +
                             std::to_string(height) + " but its entry says " +
                             std::to_string(Pixels(image.width)) + "x" +
                             std::to_string(Pixels(image.height)));
    // Windows picks an image by these fields; many tools leave them 0 for
    // PNG images, so they are taken from the image itself then.
    if (image.planes == 0)
      image.planes = 1;
    if (image.bitCount == 0)
      image.bitCount = bitCount;
    result.push_back(std::move(image));
  }
  *images = std::move(result);
  return true;
}

Bytes BuildGroupIcon(const std::vector<IconImage> &images, uint16_t firstId) {
  Bytes out;
  Put16(out, 0); // reserved
  Put16(out, kIconType);
  Put16(out, (uint32_t)images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    const IconImage &image = images[i];
    out.push_back(image.width);
    out.push_back(image.height);
    out.push_back(image.colorCount);
    out.push_back(0); // reserved
    Put16(out, image.planes);
    Put16(out, image.bitCount);
    Put32(out, (uint32_t)image.bytes.size());
    Put16(out, (uint32_t)(firstId + i));
  }
  return out;
}

} // namespace veskar
