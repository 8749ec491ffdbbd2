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
    by class and rectangle, not by name: across processes Win32 reads no
    name of an Edit (GetWindowTextW returns the title the system stores,
    which an Edit does not keep), UI Automation gives it its label's. The
    dictionaries carry no parent, but
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
SANS_CHAR = 0.6   # width of a proportional character, in font sizes (generous, so that boxes cover the text)
TITLE_BAR = 50037
EDIT = 50004


def _text(out, texts, x, y, size, caption, attributes="", anchor="start"):
    """Draws one line of text and keeps its box, which labels then avoid."""
    width = len(caption) * size * SANS_CHAR
    left = x - width / 2 if anchor == "middle" else x
    texts.append((left, y - size, width, size * 1.3))
    middle = " text-anchor='middle'" if anchor == "middle" else ""
    out.append(f"<text x='{x}' y='{y}' font-size='{size}'{middle} {attributes} {FONT}>{escape(caption)}</text>")


def _draw_control(row, shown, title_bar_drawn, out, texts):
    """A plain rendering of the element, from its control type and name; an
    Edit shows its own text (`shown`), never its name, which is its label's."""
    left, top, right, bottom = row["rect"]
    w, h = right - left, bottom - top
    control_type = row["types"].get("uia", row["types"].get("win32"))
    name = row["name"]
    cx, cy = left + w / 2, top + h / 2 + 4
    if row["depth"] == 0:
        out.append(f"<rect x='{left}' y='{top}' width='{w}' height='{h}' fill='#f3f3f3' stroke='#767676'/>")
        if not title_bar_drawn:   # a window without a perceived title bar still has its caption
            out.append(f"<rect x='{left}' y='{top}' width='{w}' height='22' fill='#2b579a'/>")
            _text(out, texts, left + 8, top + 15, 12, name, "fill='white'")
    elif control_type == TITLE_BAR:
        out.append(f"<rect x='{left}' y='{top}' width='{w}' height='{h}' fill='#2b579a'/>")
        _text(out, texts, left + 8, cy, 12, name, "fill='white'")
    elif control_type == 50000 and row["depth"] == 2 and row["automation_id"] in CAPTION_GLYPHS:
        _text(out, texts, cx, cy, 12, CAPTION_GLYPHS[row["automation_id"]], "fill='white'", "middle")
    elif control_type in (50030, 50033) and row["class_name"] != "#32770":
        out.append(f"<rect x='{left}' y='{top}' width='{w}' height='{h}' fill='white'/>")
    elif control_type == 50026:
        out.append(f"<rect x='{left}' y='{top}' width='{w}' height='{h}' fill='#eef2f7'/>")
    elif control_type == 50000:
        out.append(f"<rect x='{left}' y='{top}' width='{w}' height='{h}' rx='3' fill='#e1e1e1' stroke='#adadad'/>")
        _text(out, texts, cx, cy, 11, name, anchor="middle")
    elif control_type in (50003, EDIT):
        out.append(f"<rect x='{left}' y='{top}' width='{w}' height='{h}' fill='white' stroke='#7a7a7a'/>")
        _text(out, texts, left + 5, cy, 11, shown if control_type == EDIT else name, "fill='#222'")
        if control_type == 50003:
            _text(out, texts, right - 14, cy, 11, "▾")
    elif control_type == 50005:
        _text(out, texts, left + 4, cy, 11, name, "fill='#0067c0' text-decoration='underline'")
    elif control_type == 50020:
        _text(out, texts, left, cy, 11, name)


def _overlap(a, b):
    """The area two boxes (x, y, width, height) share."""
    dx = min(a[0] + a[2], b[0] + b[2]) - max(a[0], b[0])
    dy = min(a[1] + a[3], b[1] + b[3]) - max(a[1], b[1])
    return max(0, dx) * max(0, dy)


def _place_tag(rect, width, bounds, taken, texts):
    """Where the element's label goes: along its outline (rows just above
    it, inside its top or bottom edge, rows just below it), slid along the
    edge, inside the picture and clear of every other label; of those, the
    one that hides the least caption text, then the nearest to the place an
    inspector puts it, just above the top-left corner."""
    left, top, right, bottom = rect
    xs = sorted({left, right - width, *range(int(left - width) + 1, right, 4)})
    ys = [top - k * TAG_HEIGHT for k in range(1, 5)] + [top, bottom - TAG_HEIGHT] + \
         [bottom + k * TAG_HEIGHT for k in range(3)]
    best = None
    for y in ys:
        for x in xs:
            box = (x, y, width, TAG_HEIGHT)
            if x < bounds[0] or y < bounds[1] or x + width > bounds[2] or y + TAG_HEIGHT > bounds[3]:
                continue
            if any(_overlap(box, other) for other in taken):
                continue
            cost = (sum(_overlap(box, t) for t in texts), abs(y - (top - TAG_HEIGHT)) + abs(x - left) / 8)
            if best is None or cost < best[0]:
                best = (cost, box)
    if best is None:
        raise ValueError(f"no room for the label of {rect} in the picture")
    taken.append(best[1])
    return best[1][:2]


def svg(windows, shown=None):
    """The picture of the windows [(title, rows)] with every row's rectangle
    outlined and labelled; coordinates are screen coordinates. `shown`: what
    the application shows in its Edits, by an element's key in either mode
    (the element dictionaries do not carry it); an Edit not in it is empty."""
    shown = shown or {}
    rects = [row["rect"] for _, rows in windows for row in rows]
    x0, y0 = min(r[0] for r in rects) - 30, min(r[1] for r in rects) - 50
    x1, y1 = max(r[2] for r in rects) + 30, max(r[3] for r in rects) + 60
    w, h = x1 - x0, y1 - y0
    out = [f"<svg xmlns='http://www.w3.org/2000/svg' width='{w}' height='{h}' viewBox='{x0} {y0} {w} {h}'>",
           f"<rect x='{x0}' y='{y0}' width='{w}' height='{h}' fill='#fafafa'/>", "<g id='application'>"]
    texts = []
    for _, rows in windows:
        title_bar = any(TITLE_BAR in row["types"].values() for row in rows)
        for row in rows:
            text = next((shown[key] for key in row["keys"].values() if key in shown), "")
            _draw_control(row, text, title_bar, out, texts)
    out.append("</g>")
    out.append("<g id='inspector' font-family='DejaVu Sans Mono, Consolas, monospace' font-size='10'>")
    taken, seen = [], set()
    legend_top = y1 - 36   # the legend's band stays clear of labels
    for title, rows in windows:
        for row in rows:
            left, top, right, bottom = row["rect"]
            modes = tuple(m for m in MODES if m in row["keys"])
            seen.add(modes)
            colour = COLOURS[modes]
            text = label(row)
            tag_w = round(len(text) * MONO_CHAR + 6)
            tx, ty = _place_tag(row["rect"], tag_w, (x0, y0, x1, legend_top), taken, texts)
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
        if modes not in seen:
            continue
        out.append(f"<g class='entry' data-modes='{' '.join(modes)}'><rect x='{lx}' y='{ly - 10}' width='12' "
                   f"height='12' fill='none' stroke='{COLOURS[modes]}' stroke-width='2'/>"
                   f"<text x='{lx + 18}' y='{ly}'>{caption}</text></g>")
        lx += 190
    out.append("</g></svg>")
    return "\n".join(out) + "\n"
