"""Shared by the hot-folder checks: photos that carry their number as two
colours, and reading the printed sheets back from the test printer's PDFs."""
import os
import subprocess

LEVELS = (0, 128, 255)
# 26 colours, never white: a blank cell never reads as a number.
PALETTE = [(r, g, b) for r in LEVELS for g in LEVELS for b in LEVELS][:26]


def code(i):
    """The two colours (top half, bottom half) of photo number i (< 520)."""
    return PALETTE[i // 20], PALETTE[i % 20]


def coded_jpeg(i, w=60, h=78):
    top, bottom = code(i)
    rows = bytes(top) * w * (h // 2) + bytes(bottom) * w * (h - h // 2)
    ppm = b"P6 %d %d 255\n" % (w, h) + rows
    return subprocess.run(["cjpeg", "-quality", "95"], input=ppm, capture_output=True,
                          check=True).stdout


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    parts, at = [], 0
    while len(parts) < 4:
        while data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b"#":
            at = data.index(b"\n", at) + 1
            continue
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        parts.append(data[at:end])
        at = end
    return int(parts[1]), int(parts[2]), data[at + 1:]


def nearest(rgb):
    """The palette index of a pixel, or None when it is no palette colour."""
    best = min(range(len(PALETTE)), key=lambda n: sum((a - b) ** 2 for a, b in zip(PALETTE[n], rgb)))
    far = max(abs(a - b) for a, b in zip(PALETTE[best], rgb))
    return best if far <= 48 else None


def number_at(image, x, top, bottom):
    """The photo number drawn in a cell: sampled at (x, top) and (x, bottom);
    None when those pixels are no code (a blank or foreign cell)."""
    w, h, pixels = image
    halves = []
    for py in (top, bottom):
        if x >= w or py >= h:
            return None
        at = (py * w + x) * 3
        halves.append(nearest(tuple(pixels[at:at + 3])))
    if None in halves or halves[1] >= 20:
        return None
    return halves[0] * 20 + halves[1]


def sheet_images(pdf, scratch):
    """The pictures of a PDF as (width, height, RGB bytes), one per page
    (the program prints one picture per sheet); False while it cannot be read
    whole yet."""
    for old in os.listdir(scratch):
        os.remove(os.path.join(scratch, old))
    if subprocess.run(["pdfimages", pdf, os.path.join(scratch, "p")],
                      capture_output=True).returncode != 0:
        return False
    images = []
    for name in sorted(os.listdir(scratch)):
        if not name.endswith(".ppm"):
            return []  # not one of ours
        w, h, pixels = read_ppm(os.path.join(scratch, name))
        if len(pixels) < w * h * 3:
            return False
        images.append((w, h, pixels))
    return images


def page_count(pdf):
    out = subprocess.run(["pdfinfo", pdf], capture_output=True, text=True).stdout
    for line in out.splitlines():
        if line.startswith("Pages:"):
            return int(line.split()[1])
    return None
