"""Screen pictures of the board check: PPM as QEMU's screendump and the
reference tool write them, PNG for the README, and the comparisons."""
import struct
import zlib


class Picture:
    """An RGB picture, 3 bytes a pixel, rows top to bottom."""

    def __init__(self, width, height, rgb):
        self.width, self.height, self.rgb = width, height, bytes(rgb)

    @classmethod
    def read_ppm(cls, path):
        with open(path, "rb") as ppm:
            data = ppm.read()
        fields, offset = [], 0
        while len(fields) < 4:  # magic, width, height, maximum
            while data[offset:offset + 1].isspace():
                offset += 1
            if data[offset:offset + 1] == b"#":
                offset = data.index(b"\n", offset)
                continue
            end = offset
            while not data[end:end + 1].isspace():
                end += 1
            fields.append(data[offset:end])
            offset = end
        if fields[0] != b"P6" or fields[3] != b"255":
            raise ValueError("%s: not an 8-bit binary PPM" % path)
        width, height = int(fields[1]), int(fields[2])
        rgb = data[offset + 1:offset + 1 + 3 * width * height]
        if len(rgb) != 3 * width * height:
            raise ValueError("%s: short PPM" % path)
        return cls(width, height, rgb)

    def crop(self, x, y, width, height):
        rows = [self.rgb[3 * ((y + row) * self.width + x):3 * ((y + row) * self.width + x + width)]
                for row in range(height)]
        return Picture(width, height, b"".join(rows))

    def differing_pixels(self, other):
        """How many pixels differ from other's, of the same size."""
        if (self.width, self.height) != (other.width, other.height):
            raise ValueError("pictures of different sizes")
        a, b = self.rgb, other.rgb
        return sum(1 for i in range(0, len(a), 3) if a[i:i + 3] != b[i:i + 3])

    def differing_rows(self, other):
        """The rows (0 = top) in which the two pictures differ."""
        stride = 3 * self.width
        return [row for row in range(self.height)
                if self.rgb[row * stride:(row + 1) * stride] != other.rgb[row * stride:(row + 1) * stride]]

    def write_png(self, path):
        stride = 3 * self.width
        raw = b"".join(b"\0" + self.rgb[row * stride:(row + 1) * stride] for row in range(self.height))

        def chunk(kind, body):
            return (struct.pack(">I", len(body)) + kind + body
                    + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

        with open(path, "wb") as png:
            png.write(b"\x89PNG\r\n\x1a\n")
            png.write(chunk(b"IHDR", struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)))
            png.write(chunk(b"IDAT", zlib.compress(raw, 9)))
            png.write(chunk(b"IEND", b""))
