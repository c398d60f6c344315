#!/usr/bin/env python3
"""Build and check kepra's placeholder EZ-USB FX3 boot image.

The library carries one firmware image that it writes to flash address 0.
We do not ship a real camera firmware, so this script produces a boot image
that is structurally valid for the FX3 boot loader but does nothing: its
entry point disables interrupts and spins forever. The rest of the section is
a repeating ASCII banner plus pseudo-random fill, so that a hex dump of any
flash page shows what it is, no two pages are alike and there are no long
runs of one byte value (an erased or unwritten page stands out at once).

Layout (all fields little-endian):
    "CY", bImageCTL, bImageType
    dLength = 42,988 words, dAddress = 0x40003000, 171,952 data bytes
    dLength = 0, dAddress = entry point 0x40003000
    dCheckSum = sum of the section data words modulo 2^32
for 4 + (8 + 4 * 42,988) + 8 + 4 = 171,976 bytes in all.

bImageCTL is 0x20: bit 0 = 0 (executable), bits 5:4 = 10 (SPI clock 30 MHz,
the fastest non-reserved setting), everything else 0.

The section is loaded at 0x40003000 rather than at the bottom of SYSMEM: the
FX3 runtime keeps the first 12 KiB of SYSMEM for DMA descriptors, and the
usual firmware link map starts its code region there.

Usage:
    make_fx3_image.py --output PATH    write the image (same bytes every run)
    make_fx3_image.py --check PATH     verify a boot image and print a summary
Both may be given; the image is written first. Exit status 0 when everything
passed, 1 on a fault in a checked image, 2 on a usage or I/O error.
"""

import argparse
import struct
import sys

SIGNATURE = b"CY"
IMAGE_TYPE_FIRMWARE = 0xB0

CTL_DATA_FILE = 0x01          # bit 0: 1 = data, not executed
CTL_SPI_CLOCK_SHIFT = 4       # bits 5:4 on SPI boot
CTL_SPI_30MHZ = 0b10 << CTL_SPI_CLOCK_SHIFT
IMAGE_CTL = CTL_SPI_30MHZ     # executable, 30 MHz SPI clock

ITCM_BASE, ITCM_SIZE = 0x00000000, 16 * 1024
SYSMEM_BASE, SYSMEM_SIZE = 0x40000000, 512 * 1024

LOAD_ADDRESS = 0x40003000
ENTRY_POINT = LOAD_ADDRESS
SECTION_WORDS = 42988
IMAGE_BYTES = 4 + (8 + 4 * SECTION_WORDS) + 8 + 4

BANNER = b"kepra placeholder FX3 firmware -- not for hardware"
BLOCK_BYTES = 256
PRNG_SEED = 0x6B657072        # "kepr"

SPI_CLOCKS = {0: "10 MHz", 1: "20 MHz", 2: "30 MHz", 3: "40 MHz (reserved)"}

# ARM (ARM926EJ-S, ARM state) code placed at the entry point.
ENTRY_CODE = [
    0xE10F0000,  # mrs  r0, cpsr
    0xE38000C0,  # orr  r0, r0, #0xC0     ; mask IRQ and FIQ
    0xE121F000,  # msr  cpsr_c, r0
    0xEAFFFFFE,  # b    .                 ; spin forever
]


def xorshift32(state):
    """Endless deterministic byte stream (Marsaglia xorshift32)."""
    while True:
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        yield from state.to_bytes(4, "little")


def section_data():
    data = bytearray(struct.pack("<%dI" % len(ENTRY_CODE), *ENTRY_CODE))
    total = 4 * SECTION_WORDS
    fill = xorshift32(PRNG_SEED)
    block = 0
    while len(data) < total:
        line = BANNER + b" [block %04d]\n" % block
        chunk = bytearray(line)
        while len(chunk) < BLOCK_BYTES:
            chunk.append(next(fill))
        data += chunk
        block += 1
    return bytes(data[:total])


def checksum(words_bytes):
    count = len(words_bytes) // 4
    return sum(struct.unpack("<%dI" % count, words_bytes)) & 0xFFFFFFFF


def build_image():
    data = section_data()
    image = bytearray(SIGNATURE)
    image += bytes([IMAGE_CTL, IMAGE_TYPE_FIRMWARE])
    image += struct.pack("<II", SECTION_WORDS, LOAD_ADDRESS)
    image += data
    image += struct.pack("<II", 0, ENTRY_POINT)
    image += struct.pack("<I", checksum(data))
    assert len(image) == IMAGE_BYTES, len(image)
    return bytes(image)


def in_memory(address, length):
    """True when [address, address + length) lies inside ITCM or SYSMEM."""
    for base, size in ((ITCM_BASE, ITCM_SIZE), (SYSMEM_BASE, SYSMEM_SIZE)):
        if base <= address and address + length <= base + size:
            return True
    return False


def check_image(image, out):
    """Walk a boot image as the boot loader does. Returns a list of faults."""
    faults = []
    size = len(image)
    out.write("file size       : %d bytes\n" % size)
    if size < 4:
        return ["shorter than the 4-byte header"]
    if image[0:2] != SIGNATURE:
        faults.append("signature is %r, not 'CY'" % bytes(image[0:2]))
    ctl, kind = image[2], image[3]
    out.write("bImageCTL       : 0x%02X (%s, SPI clock %s)\n" % (
        ctl, "data file" if ctl & CTL_DATA_FILE else "executable",
        SPI_CLOCKS[(ctl >> CTL_SPI_CLOCK_SHIFT) & 3]))
    out.write("bImageType      : 0x%02X\n" % kind)
    if ctl & CTL_DATA_FILE:
        faults.append("bImageCTL marks a data file, which is not executed")
    if kind != IMAGE_TYPE_FIRMWARE:
        faults.append("image type 0x%02X is not 0xB0" % kind)
    if faults:
        return faults

    pos = 4
    total = 0
    sections = 0
    while True:
        if size - pos < 8:
            return faults + ["truncated in the section header at offset %d" % pos]
        length, address = struct.unpack_from("<II", image, pos)
        pos += 8
        if length == 0:
            entry = address
            break
        sections += 1
        nbytes = 4 * length
        out.write("section %-7d : %d words at 0x%08X-0x%08X (file offset %d)\n" % (
            sections, length, address, address + nbytes - 1, pos))
        if size - pos < nbytes:
            return faults + ["section %d (%d words) runs past the end of the file" % (
                sections, length)]
        if address % 4:
            faults.append("section %d load address 0x%08X is not word aligned" % (
                sections, address))
        if not in_memory(address, nbytes):
            faults.append("section %d does not fit in ITCM or SYSMEM" % sections)
        total = (total + checksum(image[pos:pos + nbytes])) & 0xFFFFFFFF
        pos += nbytes

    out.write("entry point     : 0x%08X\n" % entry)
    if sections == 0:
        faults.append("no section before the terminating record")
    if not in_memory(entry, 1):
        faults.append("entry point 0x%08X is outside ITCM and SYSMEM" % entry)
    if size - pos < 4:
        return faults + ["truncated before the checksum"]
    (stored,) = struct.unpack_from("<I", image, pos)
    pos += 4
    out.write("checksum        : stored 0x%08X, computed 0x%08X\n" % (stored, total))
    if stored != total:
        faults.append("checksum mismatch")
    out.write("image length    : %d bytes\n" % pos)
    if pos < size:
        out.write("trailing bytes  : %d (not part of the image)\n" % (size - pos))
    return faults


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", metavar="PATH", help="write the image to PATH")
    parser.add_argument("--check", metavar="PATH", help="verify the boot image at PATH")
    args = parser.parse_args(argv)
    if not args.output and not args.check:
        parser.error("give --output PATH and/or --check PATH")

    if args.output:
        image = build_image()
        try:
            with open(args.output, "wb") as f:
                f.write(image)
        except OSError as e:
            print("cannot write %s: %s" % (args.output, e), file=sys.stderr)
            return 2
        print("wrote %s (%d bytes)" % (args.output, len(image)))

    if args.check:
        try:
            with open(args.check, "rb") as f:
                image = f.read()
        except OSError as e:
            print("cannot read %s: %s" % (args.check, e), file=sys.stderr)
            return 2
        faults = check_image(image, sys.stdout)
        for fault in faults:
            print("FAULT: %s" % fault)
        print("%s: %s" % (args.check, "FAILED" if faults else "valid FX3 boot image"))
        return 1 if faults else 0
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
