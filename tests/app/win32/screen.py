"""The X server's pixels for the Wine window tests: a window's image taken
with xwd (x11-apps), read from the XWD format, and written as PNG for a person
to look at. Only the plain library is used."""
import struct
import subprocess
import zlib


class Image:
    def __init__(self, width, height, pixels):
        self.width, self.height = width, height
        self.pixels = pixels  # rows of (r, g, b)

    def at(self, x, y):
        return self.pixels[y][x]

    def region(self, left, top, width, height):
        """The pixels of the rectangle, clipped to the image."""
        return [self.pixels[y][x]
                for y in range(max(0, top), min(self.height, top + height))
                for x in range(max(0, left), min(self.width, left + width))]

    def write_png(self, path):
        raw = b"".join(b"\x00" + bytes(c for p in row for c in p) for row in self.pixels)

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

        with open(path, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n")
            f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)))
            f.write(chunk(b"IDAT", zlib.compress(raw, 6)))
            f.write(chunk(b"IEND", b""))


def read_xwd(data):
    """An XWD image of depth 24 or 32 (ZPixmap, 32 bits a pixel)."""
    fields = struct.unpack(">25I", data[:100])
    header_size, _, pixmap_format, depth, width, height = fields[:6]
    byte_order, bits_per_pixel, bytes_per_line = fields[7], fields[11], fields[12]
    red_mask, green_mask, blue_mask = fields[14], fields[15], fields[16]
    ncolors = fields[19]
    if pixmap_format != 2 or bits_per_pixel != 32:
        raise ValueError("unexpected XWD image: format %d, %d bits" % (pixmap_format, bits_per_pixel))
    offset = header_size + ncolors * 12
    order = "<" if byte_order == 0 else ">"

    def shift(mask):
        s = 0
        while mask and not mask & 1:
            mask >>= 1
            s += 1
        return s

    rs, gs, bs = shift(red_mask), shift(green_mask), shift(blue_mask)
    rows = []
    for y in range(height):
        line = data[offset + y * bytes_per_line: offset + y * bytes_per_line + width * 4]
        values = struct.unpack(order + "%dI" % width, line)
        rows.append([((v & red_mask) >> rs, (v & green_mask) >> gs, (v & blue_mask) >> bs)
                     for v in values])
    return Image(width, height, rows)


def grab(window_id, display):
    """What the X server shows of the window now."""
    data = subprocess.run(["xwd", "-silent", "-id", str(window_id)], check=True,
                          capture_output=True, env={"DISPLAY": display}).stdout
    return read_xwd(data)
