//===- packer/image/icon.h - Icon files and their resources ---------------===//
//
// A .ico file is a small directory followed by images, each a PNG file or
// a headerless BMP. In an executable the same images become RT_ICON
// resources, one per image, and the directory becomes an RT_GROUP_ICON
// resource whose entries name those resources by number instead of giving
// file offsets.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "packer/image/binary.h"

namespace veskar {

struct IconImage {
  uint8_t width;  // 0 stands for 256
  uint8_t height; // 0 stands for 256
  uint8_t colorCount;
  uint16_t planes;
  uint16_t bitCount;
  Bytes bytes; // the PNG file or the BMP without its file header
};

// Reads a .ico file: checks the directory and every image against the file's
// size, that each image is a PNG or a BMP whose dimensions match its entry,
// and fills in planes and bit depth where the entry leaves them 0. False
// with a one-line reason otherwise.
bool ParseIconFile(const Bytes &file, std::vector<IconImage> *images,
                   std::string *error);

// The RT_GROUP_ICON data for `images`, which become RT_ICON resources
// `firstId`, `firstId + 1`, ... in the same order.
Bytes BuildGroupIcon(const std::vector<IconImage> &images, uint16_t firstId);

} // namespace veskar
