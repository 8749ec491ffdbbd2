"""What an inspector shows of a window, from ostrandcore's element
dictionaries alone: the elements that each perception mode found, merged
into one tree, printed as a table and drawn as an SVG picture with every
element's rectangle outlined and numbered."""

from xml.sax.saxutils import escape, quoteattr

CONTROL_TYPES = {50000: "Button", 50002: "CheckBox", 50003: "ComboBox", 50004: "Edit", 50005: "Hyperlink",
                 50008: "List", 50013: "RadioButton", 50020: "Text", 50025: "Custom", 50026: "Group",
                 50030: "Document", 50032: "Window", 50033: "Pane", 50037: "TitleBar"}

# The title bar's buttons, drawn as Windows draws them.
CAPTION_GLYPHS = {"Minimize": "\u2014", "Maximize": "\u2610", "Close": "\u2715"}

MODES = ("win32", "uia")
# Outline colours: what both modes see, and what only one of them sees.
COLOURS = {("win32", "uia"): "#d13438", ("uia",): "#8661c5", ("win32",): "#107c10"}


def type_name(control_type):
    return CONTROL_TYPES.get(control_type, str(control_type))


def _contains(outer, inner):
    return outer[0] <= inner[0] and outer[1] <= inner[1] and outer[2] >= inner[2] and outer[3] >= inner[3]


def _area(rect):
    return max(0, rect[2] - rect[0]) * max(0, rect[3] - rect[1])


def merge(perceptions):
    """One row per element found by any mode: {mode: [element dict]} in,
    rows in tree order out, each with its number, depth, the control type
    and key each mode gave it. The same element is recognised across modes
    by class and rectangle (an Edit's name is its text through Win32 and its
    label's through UI Automation). The dictionaries carry no parent, but
    rectangles nest: an element's parent is the smallest one that contains
    it (on a tie, the one listed first, as the refresh lists ancestors
    before descendants)."""
    rows, index = [], {}
    for mode in MODES:
        for e in perceptions.get(mode, []):
            ident = (e["class_name"], e["bounding_rect"])
            row = index.get(ident)
            if row is None or mode in row["keys"]:
                row = {"name": e["name"], "class_name": e["class_name"], "automation_id": e["automation_id"],
                       "rect": e["bounding_rect"], "enabled": e["is_enabled"], "types": {}, "keys": {}}
                rows.append(row)
                index[ident] = row
            row["types"][mode] = e["control_type"]
            row["keys"][mode] = e["runtime_id_key"]
            row["automation_id"] = row["automation_id"] or e["automation_id"]
            row["name"] = row["name"] or e["name"]

    children = {None: []}
    for i, row in enumerate(rows):
        parent, best = None, None
        for j, other in enumerate(rows):
            if j == i or not _contains(other["rect"], row["rect"]):
                continue
            if other["rect"] == row["rect"] and j > i:
                continue
            if best is None or _area(other["rect"]) < best or (_area(other["rect"]) == best and j < i and j > parent):
                parent, best = j, _area(other["rect"])
        children.setdefault(parent, []).append(i)

    ordered = []

    def walk(parent, depth):
        # Siblings in reading order, as a person scans a window.
        for i in sorted(children.get(parent, []), key=lambda k: (rows[k]["rect"][1], rows[k]["rect"][0], k)):
            rows[i]["depth"] = depth
            ordered.append(rows[i])
            walk(i, depth + 1)

    walk(None, 0)
    return ordered


def number(windows):
    """Numbers the rows of several windows in one sequence, as the picture
    and the tables share the numbers."""
    n = 0
    for _, rows in windows:
        for row in rows:
            n += 1
            row["number"] = n


def label(row):
    control_type = row["types"].get("uia", row["types"].get("win32"))
    text = type_name(control_type)
    if row["name"]:
        name = row["name"] if len(row["name"]) <= 24 else row["name"][:23] + "…"
        text += f' "{name}"'
    return f"{row['number']} {text}"


def table(rows):
    """The rows as a text table: the tree, what each mode saw (its control
    type, or '-' where the mode does not see the element) and the keys."""
    header = ["#", "element", "class", "automation id", "rectangle", "win32", "uia", "win32 key", "uia key"]
    lines = [header]
    for row in rows:
        name = row["name"] if row["name"] else "(no name)"
        lines.append([str(row["number"]), "  " * row["depth"] + name, row["class_name"], row["automation_id"],
                      "%d,%d %d,%d" % row["rect"],
                      *(type_name(row["types"][m]) if m in row["types"] else "-" for m in MODES),
                      *(row["keys"].get(m, "-") for m in MODES)])
    widths = [max(len(line[c]) for line in lines) for c in range(len(header))]
    out = ["  ".join(cell.ljust(w) for cell, w in zip(line, widths)).rstrip() for line in lines]
    out.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(out)


# ---- the picture ----

FONT = "font-family='Segoe UI, DejaVu Sans, sans-serif'"
MONO_CHAR = 6.1   # width of one 10 px monospace character
TAG_HEIGHT = 14


def _draw_control(row, out):
    """A plain rendering of the element, from its control type and name."""
    left, top, right, bottom = row["rect"]
    w, h = right - left, bottom - top
    control_type = row["types"].get("uia", row["types"].get("win32"))
    name = escape(row["name"])
    cx, cy = left + w / 2, top + h / 2 + 4
    if row["depth"] == 0:
        out.append(f"<rect x='{left}' y='{top}' width='{w}' height='{h}' fill='#f3f3f3' stroke='#767676'/>")
        out.append(f"<rect x='{left}' y='{top}' width='{w}' height='22' fill='#2b579a'/>")
        out.append(f"<text x='{left + 8}' y='{top + 15}' font-size='12' fill='white' {FONT}>{name}</text>")
    elif control_type == 50037:
        out.append(f"<rect x='{left}' y='{top}' width='{w}' height='{h}' fill='#2b579a'/>")
        out.append(f"<text x='{left + 8}' y='{cy}' font-size='12' fill='white' {FONT}>{name}</text>")
    elif control_type == 50000 and row["depth"] == 2 and row["automation_id"] in CAPTION_GLYPHS:
        glyph = CAPTION_GLYPHS[row["automation_id"]]
        out.append(f"<text x='{cx}' y='{cy}' font-size='12' fill='white' text-anchor='middle' {FONT}>{glyph}</text>")
    elif control_type in (50030, 50033) and row["class_name"] != "#32770":
        out.append(f"<rect x='{left}' y='{top}' width='{w}' height='{h}' fill='white'/>")
    elif control_type == 50026:
        out.append(f"<rect x='{left}' y='{top}' width='{w}' height='{h}' fill='#eef2f7'/>")
    elif control_type == 50000:
        out.append(f"<rect x='{left}' y='{top}' width='{w}' height='{h}' rx='3' fill='#e1e1e1' stroke='#adadad'/>")
        out.append(f"<text x='{cx}' y='{cy}' font-size='11' text-anchor='middle' {FONT}>{name}</text>")
    elif control_type in (50003, 50004):
        out.append(f"<rect x='{left}' y='{top}' width='{w}' height='{h}' fill='white' stroke='#7a7a7a'/>")
        fill = "#222" if control_type == 50003 else "#888"
        out.append(f"<text x='{left + 5}' y='{cy}' font-size='11' fill='{fill}' {FONT}>{name}</text>")
        if control_type == 50003:
            out.append(f"<text x='{right - 14}' y='{cy}' font-size='11' {FONT}>▾</text>")
    elif control_type == 50005:
        out.append(f"<text x='{left + 4}' y='{cy}' font-size='11' fill='#0067c0' text-decoration='underline' "
                   f"{FONT}>{name}</text>")
    elif control_type == 50020:
        out.append(f"<text x='{left}' y='{cy}' font-size='11' {FONT}>{name}</text>")


def _place_tag(rect, width, taken):
    """Where the element's label goes: above its top-left corner if free,
    else beside it or at one of its corners, so that stacked elements and
    nested ones sharing a corner keep readable labels."""
    left, top, right, bottom = rect
    candidates = [(left, top - TAG_HEIGHT), (left, top), (right - width, top), (right + 2, top),
                  (left, bottom - TAG_HEIGHT), (right - width, bottom - TAG_HEIGHT), (right - width, top - TAG_HEIGHT),
                  (left, bottom)]
    for x, y in candidates:
        if all(x + width <= a or a + w <= x or y + TAG_HEIGHT <= b or b + TAG_HEIGHT <= y for a, b, w in taken):
            break
    else:
        x, y = candidates[0]
    taken.append((x, y, width))
    return x, y


def svg(windows):
    """The picture of the windows [(title, rows)] with every row's rectangle
    outlined and labelled; coordinates are screen coordinates."""
    rects = [row["rect"] for _, rows in windows for row in rows]
    x0, y0 = min(r[0] for r in rects) - 30, min(r[1] for r in rects) - 40
    x1, y1 = max(r[2] for r in rects) + 30, max(r[3] for r in rects) + 60
    w, h = x1 - x0, y1 - y0
    out = [f"<svg xmlns='http://www.w3.org/2000/svg' width='{w}' height='{h}' viewBox='{x0} {y0} {w} {h}'>",
           f"<rect x='{x0}' y='{y0}' width='{w}' height='{h}' fill='#fafafa'/>", "<g id='application'>"]
    for _, rows in windows:
        for row in rows:
            _draw_control(row, out)
    out.append("</g>")
    out.append("<g id='inspector' font-family='DejaVu Sans Mono, Consolas, monospace' font-size='10'>")
    taken = []
    for title, rows in windows:
        for row in rows:
            left, top, right, bottom = row["rect"]
            modes = tuple(m for m in MODES if m in row["keys"])
            colour = COLOURS[modes]
            text = label(row)
            tag_w = round(len(text) * MONO_CHAR + 6)
            tx, ty = _place_tag(row["rect"], tag_w, taken)
            keys = " ".join(f"data-{m}-key={quoteattr(row['keys'][m])}" for m in modes)
            out.append(f"<g class='element' data-number='{row['number']}' data-window={quoteattr(title)} "
                       f"data-modes='{' '.join(modes)}' {keys}>")
            out.append(f"<title>{escape(text)} ({escape(', '.join(modes))})</title>")
            out.append(f"<rect class='outline' x='{left}' y='{top}' width='{right - left}' height='{bottom - top}' "
                       f"fill='none' stroke='{colour}' stroke-width='1.5'/>")
            out.append(f"<rect class='tag' x='{tx}' y='{ty}' width='{tag_w}' height='{TAG_HEIGHT}' fill='{colour}'/>")
            out.append(f"<text class='label' x='{tx + 3}' y='{ty + 10.5}' fill='white'>{escape(text)}</text>")
            out.append("</g>")
    out.append("</g>")
    ly = y1 - 22
    out.append(f"<g id='legend' font-size='11' {FONT}>")
    lx = x0 + 30
    for modes, caption in ((("win32", "uia"), "seen by both modes"), (("uia",), "UI Automation only"),
                           (("win32",), "Win32 enumeration only")):
        out.append(f"<rect x='{lx}' y='{ly - 10}' width='12' height='12' fill='none' stroke='{COLOURS[modes]}' "
                   f"stroke-width='2'/><text x='{lx + 18}' y='{ly}'>{caption}</text>")
        lx += 190
    out.append("</g></svg>")
    return "\n".join(out) + "\n"
