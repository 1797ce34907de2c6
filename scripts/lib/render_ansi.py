#!/usr/bin/python3
"""Renders a terminal capture with ANSI colours (tmux capture-pane -e -p) to a PNG.

Usage: render_ansi.py CAPTURE.txt OUTPUT.png

The text is drawn cell by cell in DejaVu Sans Mono on the dark background
of the Windows console, in that console's colours (the Campbell palette),
so that the picture looks like the console the tool runs in. Blank lines
before and after the text are left out. The same capture always gives the
same bytes: Pillow writes no time into the PNG.
"""

import re
import sys

from PIL import Image, ImageDraw, ImageFont

FONT_PATH = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"
FONT_SIZE = 15
LINE_HEIGHT = 19
MARGIN = 14
MIN_COLUMNS = 80
TAB_COLUMNS = 8

BACKGROUND = (12, 12, 12)
DEFAULT_FOREGROUND = (204, 204, 204)

# Windows console (Campbell) colours for SGR 30-37 and 90-97.
NORMAL_COLOURS = [
    (12, 12, 12), (197, 15, 31), (19, 161, 14), (193, 156, 0),
    (0, 55, 218), (136, 23, 152), (58, 150, 221), (204, 204, 204),
]
BRIGHT_COLOURS = [
    (118, 118, 118), (231, 72, 86), (22, 198, 12), (249, 241, 165),
    (59, 120, 255), (180, 0, 158), (97, 214, 214), (242, 242, 242),
]

SGR_PATTERN = re.compile(r"\x1b\[([0-9;]*)m")
OTHER_ESCAPE_PATTERN = re.compile(r"\x1b\[[0-9;?]*[A-Za-ln-z]|\x1b[()][0-9A-Za-z]|\x1b[=>]")


def apply_sgr(parameters, foreground):
    """Answers the foreground colour after one SGR sequence's parameters."""
    codes = [int(code) if code else 0 for code in parameters.split(";")] if parameters else [0]
    index = 0
    while index < len(codes):
        code = codes[index]
        if code in (0, 39):
            foreground = DEFAULT_FOREGROUND
        elif 30 <= code <= 37:
            foreground = NORMAL_COLOURS[code - 30]
        elif 90 <= code <= 97:
            foreground = BRIGHT_COLOURS[code - 90]
        elif code == 38 and index + 2 < len(codes) and codes[index + 1] == 5:
            value = codes[index + 2]
            if value < 8:
                foreground = NORMAL_COLOURS[value]
            elif value < 16:
                foreground = BRIGHT_COLOURS[value - 8]
            index += 2
        elif code == 38 and index + 4 < len(codes) and codes[index + 1] == 2:
            foreground = tuple(codes[index + 2:index + 5])
            index += 4
        index += 1
    return foreground


def parse_capture(text):
    """Splits the capture into lines of (character, colour) cells.

    The colour carries on from one line to the next, as on the screen.
    """
    lines = []
    foreground = DEFAULT_FOREGROUND
    for raw_line in text.split("\n"):
        raw_line = OTHER_ESCAPE_PATTERN.sub("", raw_line.rstrip("\r"))
        cells = []
        position = 0
        for match in SGR_PATTERN.finditer(raw_line):
            cells.extend(text_cells(raw_line[position:match.start()], foreground, len(cells)))
            foreground = apply_sgr(match.group(1), foreground)
            position = match.end()
        cells.extend(text_cells(raw_line[position:], foreground, len(cells)))
        lines.append(cells)
    while lines and not "".join(character for character, _ in lines[-1]).strip():
        lines.pop()
    while lines and not "".join(character for character, _ in lines[0]).strip():
        lines.pop(0)
    return lines


def text_cells(text, foreground, column):
    cells = []
    for character in text:
        if character == "\t":
            spaces = TAB_COLUMNS - (column + len(cells)) % TAB_COLUMNS
            cells.extend((" ", foreground) for _ in range(spaces))
        elif character >= " ":
            cells.append((character, foreground))
    return cells


def render(lines, output_path):
    font = ImageFont.truetype(FONT_PATH, FONT_SIZE)
    cell_width = round(font.getlength("M"))
    columns = max([MIN_COLUMNS] + [len(line) for line in lines])
    width = 2 * MARGIN + columns * cell_width
    height = 2 * MARGIN + max(1, len(lines)) * LINE_HEIGHT
    image = Image.new("RGB", (width, height), BACKGROUND)
    draw = ImageDraw.Draw(image)
    for row, cells in enumerate(lines):
        y = MARGIN + row * LINE_HEIGHT
        for column, (character, colour) in enumerate(cells):
            if character != " ":
                draw.text((MARGIN + column * cell_width, y), character, font=font, fill=colour)
    image.save(output_path, "PNG", optimize=True)


def main(arguments):
    if len(arguments) != 2:
        sys.stderr.write("usage: render_ansi.py CAPTURE.txt OUTPUT.png\n")
        return 2
    with open(arguments[0], encoding="utf-8", errors="replace") as capture:
        lines = parse_capture(capture.read())
    if not lines:
        sys.stderr.write("render_ansi.py: %s holds no text\n" % arguments[0])
        return 1
    render(lines, arguments[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
