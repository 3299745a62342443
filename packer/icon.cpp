//===- packer/icon.cpp - Icon files and their resources -----------------===//
#include "packer/icon.h"

#include <string.h>

#include "packer/failure.h"

namespace veskar {

namespace {

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// At most this many images: the group directory counts them in 16 bits, but
// no real icon comes near this, and it bounds the work on a hostile file.
const size_t kMaxImages = 256;

uint32_t GetBig32(const uint8_t *at) {
  return ((uint32_t)at[0] << 24) | ((uint32_t)at[1] << 16) |
         ((uint32_t)at[2] << 8) | at[3];
}

// The entry's width or height as pixels.
uint32_t Pixels(uint8_t stored) { return stored == 0 ? 256 : stored; }

// Checks one image and gives its pixel size and bit depth.
bool InspectImage(const Bytes &image, size_t index, uint32_t *width,
                  uint32_t *height, uint16_t *bitCount, std::string *error) {
  std::string which = "icon image " + std::to_string(index + 1);
  if (image.size() >= 8 && memcmp(image.data(), kPngSignature, 8) == 0) {
    // The first chunk of a PNG file is IHDR: length 13, then width, height,
    // bit depth and colour type.
    if (image.size() < 8 + 8 + 13 || GetBig32(image.data() + 8) != 13 ||
        memcmp(image.data() + 12, "IHDR", 4) != 0)
      return Fail(error, which + " is a damaged PNG (no IHDR chunk)");
    *width = GetBig32(image.data() + 16);
    *height = GetBig32(image.data() + 20);
    uint8_t depth = image[24], colourType = image[25];
    static const uint8_t kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
    uint8_t channels = colourType < 7 ? kChannels[colourType] : 0;
    if (channels == 0)
      return Fail(error, which + " is a PNG of an unknown colour type");
    *bitCount = colourType == 3 ? depth : (uint16_t)(depth * channels);
    return true;
  }
  // A BMP: a BITMAPINFOHEADER (or a later, longer version) whose height
  // counts the colour image and the mask.
  if (image.size() < 40 || Get32(image.data()) < 40 ||
      Get32(image.data()) > image.size())
    return Fail(error, which + " is neither a PNG nor a BMP image");
  int32_t w = (int32_t)Get32(image.data() + 4);
  int32_t h = (int32_t)Get32(image.data() + 8);
  uint16_t planes = Get16(image.data() + 12);
  uint16_t bits = Get16(image.data() + 14);
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
  if (file.size() < 6 || Get16(file.data()) != 0 || Get16(file.data() + 2) != 1)
    return Fail(error, "not an icon file (no icon directory header)");
  size_t count = Get16(file.data() + 4);
  if (count == 0)
    return Fail(error, "the icon file holds no images");
  if (count > kMaxImages)
    return Fail(error, "the icon file holds " + std::to_string(count) +
                           " images; at most " + std::to_string(kMaxImages) +
                           " are taken");
  if (file.size() < 6 + 16 * count)
    return Fail(error, "the icon file's directory is cut short");
  std::vector<IconImage> result;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t *entry = file.data() + 6 + 16 * i;
    IconImage image;
    image.width = entry[0];
    image.height = entry[1];
    image.colorCount = entry[2];
    image.planes = Get16(entry + 4);
    image.bitCount = Get16(entry + 6);
    uint32_t size = Get32(entry + 8);
    uint32_t offset = Get32(entry + 12);
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
  Put16(out, 1); // type: icon
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
