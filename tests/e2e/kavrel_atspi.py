#!/usr/bin/python3
"""kavrel's window read through AT-SPI, as a screen reader reads it.

Usage: kavrel_atspi.py controls          every object of the window with its role and name, the
                                         parts of a control indented below it; all named
       kavrel_atspi.py press NAME        presses the button named NAME through its action
       kavrel_atspi.py wait NAME SECS    waits until a button is named NAME (Play, Stop)
       kavrel_atspi.py title TEXT SECS   waits until the window's title is TEXT
       kavrel_atspi.py type NAME TEXT    puts TEXT into the text box named NAME

The window is kavrel's frame, whatever its title says (the title echoes the keys dialed).

Exits 1 with the reason on standard error when the window, a name or the button is missing.
"""
import sys
import time

import pyatspi

TITLE = "Pelorin 1.0"


def window(seconds=30):
    """kavrel's frame; the program registers with the bus some time after it starts, titled TITLE."""
    deadline = time.monotonic() + seconds
    while True:
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is None:
                continue
            for frame in app:
                if frame is not None and (frame.name == TITLE or app.name == "kavrel"):
                    return frame
        if time.monotonic() > deadline:
            sys.exit(f"no window named {TITLE!r} on the accessibility bus")
        time.sleep(0.1)


def buttons(frame):
    return [c for c in frame if c is not None and c.getRole() == pyatspi.ROLE_PUSH_BUTTON]


def descendants(node, depth=0):
    """Every accessible object below node, with its depth (1 for the window's own controls)."""
    for child in node:
        if child is not None:
            yield child, depth + 1
            yield from descendants(child, depth + 1)


def controls(frame):
    """Prints the window's controls and what each holds, as a screen reader walks the tree."""
    bare = []
    for c, depth in descendants(frame):
        line = "  " * (depth - 1) + f"{c.getRoleName()}: {c.name!r}"
        if c.description:
            line += f" ({c.description})"
        print(line)
        if c.getRole() == pyatspi.ROLE_UNKNOWN or not c.name.strip():
            bare.append(line.strip())
    if frame.childCount != 29:
        sys.exit(f"{frame.childCount} controls, expected 29")
    if bare:
        sys.exit("controls without a role or a name: " + "; ".join(bare))


def press(frame, name):
    for b in buttons(frame):
        if b.name == name:
            action = b.queryAction()
            for i in range(action.nActions):
                if action.getName(i) == "Press":
                    if not action.doAction(i):
                        sys.exit(f"the button {name!r} refused its Press action")
                    return
            sys.exit(f"the button {name!r} has no Press action")
    sys.exit(f"no button named {name!r}")


def wait(frame, name, seconds):
    deadline = time.monotonic() + seconds
    while not any(b.name == name for b in buttons(frame)):
        if time.monotonic() > deadline:
            sys.exit(f"no button named {name!r} within {seconds} s")
        time.sleep(0.05)


def title(frame, text, seconds):
    deadline = time.monotonic() + seconds
    while frame.name != text:
        if time.monotonic() > deadline:
            sys.exit(f"the title is {frame.name!r}, not {text!r}, after {seconds} s")
        time.sleep(0.05)


def type_into(frame, name, text):
    for c, _ in descendants(frame):
        if c.getRole() == pyatspi.ROLE_TEXT and c.name == name:
            if not c.queryEditableText().setTextContents(text):
                sys.exit(f"the text box {name!r} refused the text")
            return
    sys.exit(f"no text box named {name!r}")


def main(args):
    frame = window()
    if args[:1] == ["controls"]:
        controls(frame)
    elif args[:1] == ["press"] and len(args) == 2:
        press(frame, args[1])
    elif args[:1] == ["wait"] and len(args) == 3:
        wait(frame, args[1], float(args[2]))
    elif args[:1] == ["title"] and len(args) == 3:
        title(frame, args[1], float(args[2]))
    elif args[:1] == ["type"] and len(args) == 3:
        type_into(frame, args[1], args[2])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
