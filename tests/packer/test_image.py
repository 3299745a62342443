"""The packed Windows image, read by independent readers (pefile, wrestool):
every header the packer fixes, every resource it writes, the icons against
the input images, the imports; and the build values in both stubs."""

import os
import re
import struct
import subprocess
import xml.etree.ElementTree as ElementTree

import pefile

import packtest
import support
from packtest import pack, read

SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}

OPTIONS = ["--company", "Ädel & Söhne", "--product", "Quorvane Studio <β>",
           "--version", "2.3.40.65535", "--description", "The studio",
           "--copyright", "© 2026 Ädel"]


def wrestool(*args):
    return subprocess.run(["wrestool"] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, check=True,
                          timeout=60).stdout


class ImageTest(packtest.PackerTestCase):
    """One build with every option set and a custom icon, one with the
    defaults; all checks read those two files."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        base = cls.make_class_scratch()
        app = os.path.join(base, "app")
        packtest.make_tree(app, {
            "Tool.exe": b"MZ not really a program" * 100,
            "data/a.txt": b"alpha\n",
            "data/deep/b.bin": os.urandom(70000),
        })
        # A PNG and a BMP image, and a PNG whose entry leaves planes and bit
        # depth 0 (many icon tools write that).
        cls.icon_images = [
            (16, packtest.bmp(16, (0, 0, 255, 255))),
            (48, packtest.png(48, 48, (10, 200, 30, 255))),
            (256, packtest.png(256, 256, (200, 10, 30, 128))),
        ]
        icon = os.path.join(base, "custom.ico")
        with open(icon, "wb") as f:
            f.write(packtest.ico(cls.icon_images))
        cls.custom = os.path.join(base, "Custom.exe")
        pack("build", app, "-o", cls.custom, "--icon", icon, "--quiet",
             *OPTIONS)
        cls.default = os.path.join(base, "plain.exe")
        pack("build", app, "-o", cls.default, "--quiet")
        cls.stub = read(packtest.WINDOWS_STUB)

    def pe(self, path):
        pe = pefile.PE(path)
        self.addCleanup(pe.close)
        return pe

    def test_image_properties(self):
        for path in (self.custom, self.default):
            with self.subTest(image=os.path.basename(path)):
                pe = self.pe(path)
                self.assertEqual(pe.FILE_HEADER.Machine, 0x8664)
                self.assertEqual(pe.OPTIONAL_HEADER.Magic, 0x20B)
                self.assertEqual(pe.OPTIONAL_HEADER.Subsystem, 2)
                self.assertEqual((pe.OPTIONAL_HEADER.MajorSubsystemVersion,
                                  pe.OPTIONAL_HEADER.MinorSubsystemVersion),
                                 (6, 0))
                self.assertEqual(pe.OPTIONAL_HEADER.DllCharacteristics, 0x8160)
                self.assertEqual(pe.OPTIONAL_HEADER.SizeOfStackReserve, 1048576)
                self.assertEqual(pe.FILE_HEADER.TimeDateStamp, 0)
                self.assertNotEqual(pe.OPTIONAL_HEADER.CheckSum, 0)
                self.assertEqual(pe.OPTIONAL_HEADER.CheckSum,
                                 pe.generate_checksum())
                self.assertEqual(pe.get_warnings(), [])

    def test_resource_section_is_last_and_headers_fit_it(self):
        stub = pefile.PE(data=self.stub)
        for path in (self.custom, self.default):
            with self.subTest(image=os.path.basename(path)):
                pe = self.pe(path)
                data = read(path)
                opt = pe.OPTIONAL_HEADER
                self.assertEqual(len(pe.sections), len(stub.sections) + 1)
                rsrc = pe.sections[-1]
                self.assertEqual(rsrc.Name, b".rsrc\0\0\0")
                self.assertEqual(rsrc.Characteristics, 0x40000040)
                self.assertEqual(rsrc.VirtualAddress, stub.OPTIONAL_HEADER.SizeOfImage)
                # On the first page boundary after the stub, zeros between:
                # Wine maps a page-aligned section from the file instead of
                # reading it all into memory at start.
                self.assertEqual(rsrc.PointerToRawData,
                                 (len(self.stub) + 4095) // 4096 * 4096)
                self.assertEqual(
                    data[len(self.stub):rsrc.PointerToRawData],
                    bytes(rsrc.PointerToRawData - len(self.stub)))
                self.assertEqual(rsrc.SizeOfRawData % opt.FileAlignment, 0)
                self.assertEqual(rsrc.PointerToRawData + rsrc.SizeOfRawData,
                                 len(data), "bytes after the last section")
                self.assertEqual(max(s.VirtualAddress for s in pe.sections),
                                 rsrc.VirtualAddress)
                directory = opt.DATA_DIRECTORY[2]
                self.assertEqual((directory.VirtualAddress, directory.Size),
                                 (rsrc.VirtualAddress, rsrc.Misc_VirtualSize))
                align = opt.SectionAlignment
                self.assertEqual(opt.SizeOfImage,
                                 (rsrc.VirtualAddress + rsrc.Misc_VirtualSize +
                                  align - 1) // align * align)
                self.assertEqual(opt.SizeOfInitializedData,
                                 stub.OPTIONAL_HEADER.SizeOfInitializedData +
                                 rsrc.SizeOfRawData)
                self.assertEqual(opt.DATA_DIRECTORY[4].Size, 0)
                # Past the headers, the stub's sections are unchanged except
                # for the build values block.
                headers = stub.OPTIONAL_HEADER.SizeOfHeaders
                marker = self.stub.index(packtest.BUILD_VALUES_MARKER)
                block = slice(marker, marker + 16 + 3 * 128)
                original = bytearray(self.stub[headers:])
                packed = bytearray(data[headers:len(self.stub)])
                original[block.start - headers:block.stop - headers] = b""
                packed[block.start - headers:block.stop - headers] = b""
                self.assertEqual(packed, original)

    def resources(self, path):
        pe = self.pe(path)
        found = {}
        for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
            for n in t.directory.entries:
                for lang in n.directory.entries:
                    entry = lang.data.struct
                    found[(t.id, n.id, lang.id)] = pe.get_data(
                        entry.OffsetToData, entry.Size)
        return found

    def test_resource_table_pefile_and_wrestool(self):
        for path, icons in ((self.custom, 3), (self.default, 6)):
            with self.subTest(image=os.path.basename(path)):
                expected = {(3, i, 0) for i in range(1, icons + 1)}
                expected |= {(14, 1, 0), (16, 1, 0), (24, 1, 0), (10, 27, 0)}
                self.assertEqual(set(self.resources(path)), expected)
                listed = set()
                for line in wrestool("-l", path).decode().splitlines():
                    m = re.match(r"--type=(\d+) --name=(\d+) --language=(\d+)",
                                 line)
                    self.assertIsNotNone(m, line)
                    listed.add(tuple(int(g) for g in m.groups()))
                self.assertEqual(listed, expected)

    def check_icons(self, path, images):
        """`images`: [(width as stored, height as stored, image bytes)]."""
        resources = self.resources(path)
        group = resources[(14, 1, 0)]
        reserved, kind, count = struct.unpack_from("<HHH", group)
        self.assertEqual((reserved, kind, count), (0, 1, len(images)))
        for i, (width, height, image) in enumerate(images):
            w, h, _, _, planes, bits, size, ident = struct.unpack_from(
                "<BBBBHHIH", group, 6 + 14 * i)
            self.assertEqual((w, h, planes, bits, size, ident),
                             (width, height, 1, 32, len(image), i + 1))
            self.assertEqual(resources[(3, i + 1, 0)], image)
            self.assertEqual(wrestool("-x", "--raw", "--type=3",
                                      f"--name={i + 1}", path), image)
        # wrestool's own reading of the group, as an .ico file again.
        rebuilt = packtest.ico_images(wrestool("-x", "--type=14", path))
        self.assertEqual([(w, h, data) for w, h, _, _, data in rebuilt],
                         [(w, h, data) for w, h, data in images])

    def test_default_icons_are_the_committed_set(self):
        source = packtest.ico_images(read(packtest.DEFAULT_ICON))
        self.assertEqual([w for w, _, _, _, _ in source],
                         [16, 32, 48, 64, 128, 0])
        for _, _, _, _, data in source:
            self.assertEqual(data[:8], b"\x89PNG\r\n\x1a\n")
            self.assertEqual(data[24:26], b"\x08\x06", "not 8-bit RGBA")
        self.check_icons(self.default, [(w, h, d) for w, h, _, _, d in source])

    def test_custom_icons_read_back_equal(self):
        self.check_icons(self.custom, [(0 if s == 256 else s,
                                        0 if s == 256 else s, data)
                                       for s, data in self.icon_images])

    def version(self, path):
        pe = self.pe(path)
        fixed = pe.VS_FIXEDFILEINFO[0]
        strings, translations = {}, []
        for info in pe.FileInfo[0]:
            for table in getattr(info, "StringTable", []):
                strings[table.LangID] = {k.decode("utf-8"): v.decode("utf-8")
                                         for k, v in table.entries.items()}
            for var in getattr(info, "Var", []):
                translations.append(var.entry)
        return fixed, strings, translations

    def test_version_record(self):
        cases = [
            (self.custom, (2, 3, 40, 65535), {
                "CompanyName": "Ädel & Söhne",
                "ProductName": "Quorvane Studio <β>",
                "FileDescription": "The studio",
                "LegalCopyright": "© 2026 Ädel",
                "ProductVersion": "2.3.40.65535",
                "FileVersion": "2.3.40.65535",
                "OriginalFilename": "Custom.exe",
                "InternalName": "Custom"}),
            (self.default, (1, 1, 0, 0), {
                "CompanyName": "PELTA",
                "ProductName": "Quorvane",
                "FileDescription": "Quorvane",
                "LegalCopyright": "Copyright (C) PELTA",
                "ProductVersion": "1.1.0.0",
                "FileVersion": "1.1.0.0",
                "OriginalFilename": "plain.exe",
                "InternalName": "plain"}),
        ]
        for path, numbers, strings in cases:
            with self.subTest(image=os.path.basename(path)):
                fixed, tables, translations = self.version(path)
                self.assertEqual(fixed.Signature, 0xFEEF04BD)
                ms = (numbers[0] << 16) | numbers[1]
                ls = (numbers[2] << 16) | numbers[3]
                self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS,
                                  fixed.ProductVersionMS, fixed.ProductVersionLS),
                                 (ms, ls, ms, ls))
                self.assertEqual((fixed.FileFlagsMask, fixed.FileFlags,
                                  fixed.FileOS, fixed.FileType),
                                 (0x3F, 0, 4, 1))
                self.assertEqual(tables, {b"000004b0": strings})
                self.assertEqual(translations, [{b"Translation":
                                                 "0x0000 0x04b0"}])
                # The same record through wrestool, byte for byte.
                self.assertEqual(wrestool("-x", "--raw", "--type=16", path),
                                 self.resources(path)[(16, 1, 0)])

    def test_build_values_match_the_version_record(self):
        for path in (self.custom, self.default):
            with self.subTest(image=os.path.basename(path)):
                _, tables, _ = self.version(path)
                table = tables[b"000004b0"]
                self.assertEqual(packtest.build_values(read(path)),
                                 (table["CompanyName"], table["ProductName"],
                                  table["FileVersion"]))

    def test_manifest(self):
        ns = {"v1": "urn:schemas-microsoft-com:asm.v1",
              "v3": "urn:schemas-microsoft-com:asm.v3",
              "c": "urn:schemas-microsoft-com:compatibility.v1",
              "ws": "http://schemas.microsoft.com/SMI/2016/WindowsSettings"}
        for path, name in ((self.custom, "Quorvane_Studio____"),
                           (self.default, "Quorvane")):
            with self.subTest(image=os.path.basename(path)):
                text = wrestool("-x", "--raw", "--type=24", "--name=1", path)
                self.assertEqual(text, self.resources(path)[(24, 1, 0)])
                root = ElementTree.fromstring(text)
                self.assertEqual(root.tag, "{%s}assembly" % ns["v1"])
                self.assertEqual(root.get("manifestVersion"), "1.0")
                identity = root.find("v1:assemblyIdentity", ns)
                self.assertEqual((identity.get("type"), identity.get("version"),
                                  identity.get("name")),
                                 ("win32", "1.0.0.0", name))
                ids = {e.get("Id") for e in root.findall(
                    "c:compatibility/c:application/c:supportedOS", ns)}
                self.assertEqual(ids, SUPPORTED_OS)
                long_paths = root.find(
                    "v3:application/v3:windowsSettings/ws:longPathAware", ns)
                self.assertEqual(long_paths.text, "true")
                level = root.find("v3:trustInfo/v3:security/"
                                  "v3:requestedPrivileges/"
                                  "v3:requestedExecutionLevel", ns)
                self.assertEqual((level.get("level"), level.get("uiAccess")),
                                 ("asInvoker", "false"))

    def test_imports_only_system_libraries(self):
        for path in (self.custom, self.default):
            with self.subTest(image=os.path.basename(path)):
                pe = self.pe(path)
                dlls = {e.dll.decode().lower() for e in pe.DIRECTORY_ENTRY_IMPORT}
                self.assertEqual(dlls, {"kernel32.dll", "shell32.dll",
                                        "msvcrt.dll"})
                self.assertFalse(hasattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT"))

    def test_payload_resource_is_the_container(self):
        for path in (self.custom, self.default):
            with self.subTest(image=os.path.basename(path)):
                payload = self.resources(path)[(10, 27, 0)]
                self.assertEqual(payload[:3], b"VEY")
                self.assertEqual(payload[-10:-8], b"\0\0")
                self.assertEqual(struct.unpack("<Q", payload[-8:])[0],
                                 len(payload) - 8)
                # Aligned, and the last data of the section.
                pe = self.pe(path)
                rsrc = pe.sections[-1]
                offset, size = packtest.container_place(path)
                self.assertEqual(offset % 8, 0)
                self.assertEqual(offset + size,
                                 rsrc.PointerToRawData + rsrc.Misc_VirtualSize)


class LinuxImageTest(packtest.PackerTestCase):
    def test_stub_with_values_then_container(self):
        base = self.make_scratch()
        app = os.path.join(base, "app")
        packtest.make_tree(app, {"run.sh": b"#!/bin/sh\necho hi\n",
                                 "lib/x.txt": b"x"})
        os.chmod(os.path.join(app, "run.sh"), 0o755)
        out = os.path.join(base, "run")
        pack("build", app, "-o", out, "--target", "linux", "--quiet",
             "--company", "Ädel", "--product", "Tool", "--version", "3.0.0.1")
        data, stub = read(out), read(packtest.LINUX_STUB)
        offset, size = packtest.container_place(out)
        self.assertEqual(offset, len(stub))
        self.assertEqual(offset + size, len(data))
        self.assertEqual(data[offset:offset + 3], b"VEY")
        self.assertEqual(packtest.build_values(data), ("Ädel", "Tool", "3.0.0.1"))
        self.assertEqual(packtest.build_values(stub), ("PELTA", "Quorvane", "1.1.0.0"))
        marker = stub.index(packtest.BUILD_VALUES_MARKER)
        self.assertEqual(data[:marker], stub[:marker])
        self.assertEqual(data[marker + 400:offset], stub[marker + 400:])
        self.assertTrue(os.stat(out).st_mode & 0o111)


if __name__ == "__main__":
    support.main()
