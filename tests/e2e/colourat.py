#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Tells whether a rectangle of a PPM screenshot holds ink of a colour: prints red, green, blue or none."""
import sys


def read_ppm(path):
    data = open(path, "rb").read()
    parts, pos = [], 0
    while len(parts) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        parts.append(data[pos:end])
        pos = end
    width, height = int(parts[1]), int(parts[2])
    return width, height, data[pos + 1:]


def main():
    path, x, y, w, h = sys.argv[1], *map(int, sys.argv[2:6])
    width, _, pixels = read_ppm(path)
    red = green = blue = 0
    for row in range(y, y + h):
        for col in range(x, x + w):
            r, g, b = pixels[3 * (row * width + col):3 * (row * width + col) + 3]
            if r > 180 and g < 90 and b < 90:
                red += 1
            elif g > 180 and r < 90 and b < 90:
                green += 1
            elif b > 150 and b > r + 60:
                blue += 1
    counts = {"red": red, "green": green, "blue": blue}
    colour = max(counts, key=counts.get)
    print(colour if counts[colour] > 5 else "none")


if __name__ == "__main__":
    main()
