//===- packer/image/version_record.cpp - Version record and manifest ------===//
//
// A version record is a tree of blocks. Each block is: its length in bytes,
// the length of its value, its type (1 for text, 0 for binary), its key as
// NUL-ended UTF-16, padding to a 4-byte boundary, the value, padding, and
// its children. A block's length covers its children but not the padding
// that follows it.
//
//===----------------------------------------------------------------------===//
#include "packer/image/version_record.h"

namespace veskar {

namespace {

const char16_t kTableKey[] = u"000004b0"; // neutral language, Unicode
const uint32_t kFixedSignature = 0xFEEF04BD;
const uint32_t kFixedStructVersion = 0x00010000;
const uint32_t kFlagsMask = 0x3F;
const uint32_t kOsWindows32 = 0x4; // VOS__WINDOWS32
const uint32_t kFileTypeApp = 0x1; // VFT_APP
const uint16_t kTranslationLanguage = 0x0000;
const uint16_t kTranslationCodePage = 0x04B0;
// A block's type: what its value holds.
const uint16_t kBinaryBlock = 0;
const uint16_t kTextBlock = 1;
// Every block and value starts on this boundary.
const size_t kBlockAlignment = 4;
// The most digits a version number has (65535).
const size_t kMaxVersionDigits = 5;

// One block: `value` already encoded, `valueLength` in the unit the block's
// type uses (UTF-16 units for text, bytes for binary).
Bytes Block(const std::u16string &key, uint16_t type, const Bytes &value,
            uint32_t valueLength, const std::vector<Bytes> &children) {
  Bytes out;
  Put16(out, 0); // length, set below
  Put16(out, valueLength);
  Put16(out, type);
  PutText(out, key);
  PadTo(out, kBlockAlignment);
  out.insert(out.end(), value.begin(), value.end());
  for (const Bytes &child : children) {
    PadTo(out, kBlockAlignment);
    out.insert(out.end(), child.begin(), child.end());
  }
  PutLittleEndian16(out.data(), (uint32_t)out.size());
  return out;
}

Bytes StringBlock(const std::u16string &key, const std::u16string &text) {
  Bytes value;
  PutText(value, text);
  return Block(key, kTextBlock, value, (uint32_t)text.size() + 1, {});
}

uint32_t High(const uint16_t n[4]) { return ((uint32_t)n[0] << 16) | n[1]; }
uint32_t Low(const uint16_t n[4]) { return ((uint32_t)n[2] << 16) | n[3]; }

} // namespace

bool ParseVersion(const std::string &text, uint16_t numbers[4]) {
  size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (at >= text.size() || text[at] != '.')
        return false;
      ++at;
    }
    size_t start = at;
    uint32_t value = 0;
    // Reading one digit more than 65535 has is enough to refuse a number.
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' &&
           at - start <= kMaxVersionDigits) {
      value = value * 10 + (uint32_t)(text[at] - '0');
      ++at;
    }
    size_t digits = at - start;
    if (digits == 0 || value > UINT16_MAX || (digits > 1 && text[start] == '0'))
      return false;
    numbers[part] = (uint16_t)value;
  }
  return at == text.size();
}

Bytes BuildVersionRecord(const VersionStrings &s) {
  Bytes fixed;
  Put32(fixed, kFixedSignature);
  Put32(fixed, kFixedStructVersion);
  Put32(fixed, High(s.numbers)); // file version
  Put32(fixed, Low(s.numbers));
  Put32(fixed, High(s.numbers)); // product version
  Put32(fixed, Low(s.numbers));
  Put32(fixed, kFlagsMask);
  Put32(fixed, 0); // flags: none
  Put32(fixed, kOsWindows32);
  Put32(fixed, kFileTypeApp);
  Put32(fixed, 0); // subtype
  Put32(fixed, 0); // date, high
  Put32(fixed, 0); // date, low

  std::vector<Bytes> strings = {
      StringBlock(u"CompanyName", s.company),
      StringBlock(u"ProductName", s.product),
      StringBlock(u"FileDescription", s.description),
      StringBlock(u"LegalCopyright", s.copyright),
      StringBlock(u"ProductVersion", s.version),
      StringBlock(u"FileVersion", s.version),
      StringBlock(u"OriginalFilename", s.originalFilename),
      StringBlock(u"InternalName", s.internalName),
  };
  Bytes table = Block(kTableKey, kTextBlock, {}, 0, strings);
  Bytes stringInfo = Block(u"StringFileInfo", kTextBlock, {}, 0, {table});

  Bytes translation;
  Put16(translation, kTranslationLanguage);
  Put16(translation, kTranslationCodePage);
  Bytes var = Block(u"Translation", kBinaryBlock, translation,
                    (uint32_t)translation.size(), {});
  Bytes varInfo = Block(u"VarFileInfo", kTextBlock, {}, 0, {var});

  return Block(u"VS_VERSION_INFO", kBinaryBlock, fixed, (uint32_t)fixed.size(),
               {stringInfo, varInfo});
}

std::string AssemblyName(const std::u16string &product) {
  std::string name;
  for (char16_t unit : product) {
    bool plain = (unit >= 'a' && unit <= 'z') || (unit >= 'A' && unit <= 'Z') ||
                 (unit >= '0' && unit <= '9') || unit == '.' || unit == '-' ||
                 unit == '_';
    name += plain ? (char)unit : '_';
  }
  return name.empty() ? "App" : name;
}

std::string BuildManifest(const std::string &assemblyName) {
  // Windows 10 and 11, 8.1, 8, 7 and Vista.
  static const char *const kSupportedOs[] = {
      "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
      "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
      "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
      "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
      "{e2011457-1546-43c5-a5fe-008deee3d3f0}",
  };
  std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" "
      "manifestVersion=\"1.0\">\r\n"
      "  <assemblyIdentity type=\"win32\" name=\"" +
      assemblyName +
      "\" version=\"1.0.0.0\"/>\r\n"
      "  <compatibility "
      "xmlns=\"urn:schemas-microsoft-com:compatibility.v1\">\r\n"
      "    <application>\r\n";
  for (const char *id : kSupportedOs)
    text += std::string("      <supportedOS Id=\"") + id + "\"/>\r\n";
  text += "    </application>\r\n"
          "  </compatibility>\r\n"
          "  <application xmlns=\"urn:schemas-microsoft-com:asm.v3\">\r\n"
          "    <windowsSettings>\r\n"
          "      <longPathAware "
          "xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">"
          "true</longPathAware>\r\n"
          "    </windowsSettings>\r\n"
          "  </application>\r\n"
          "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">\r\n"
          "    <security>\r\n"
          "      <requestedPrivileges>\r\n"
          "        <requestedExecutionLevel level=\"asInvoker\" "
          "uiAccess=\"false\"/>\r\n"
          "      </requestedPrivileges>\r\n"
          "    </security>\r\n"
          "  </trustInfo>\r\n"
          "</assembly>\r\n";
  return text;
}

} // namespace veskar
