#!/usr/bin/env python3
"""Walks the scan window as a screen reader sees it, through AT-SPI.

Waits for the TavrinDesk application on the accessibility bus, then checks
every control that shows: each has a name, and each list has the label
beside it tied to it, which a screen reader speaks with it. Prints one line per fault and
ends the session with the window's own Exit button. Exit status 0 when the
tree is clean, 1 when a control lacks its name, 2 when the window never
appeared.
"""
import sys
import time

import pyatspi

NAMED_ROLES = {
    pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_CHECK_BOX, pyatspi.ROLE_RADIO_BUTTON,
    pyatspi.ROLE_COMBO_BOX, pyatspi.ROLE_LIST, pyatspi.ROLE_SLIDER,
    pyatspi.ROLE_SPIN_BUTTON, pyatspi.ROLE_PROGRESS_BAR, pyatspi.ROLE_TEXT,
    pyatspi.ROLE_LIST_BOX, pyatspi.ROLE_PANEL, pyatspi.ROLE_GROUPING,
}


def find_window(timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is None or app.name != "TavrinDesk":
                continue
            for window in app:
                if window is not None and window.name == "TavrinDesk":
                    return window
        time.sleep(0.5)
    return None


def showing(node):
    return node.getState().contains(pyatspi.STATE_SHOWING)


def walk(node, seen):
    for child in node:
        if child is None or not showing(child):
            continue
        seen.append(child)
        # A list box's own items and a combo box's closed list are parts of
        # the control, named by it.
        if child.getRole() not in (pyatspi.ROLE_COMBO_BOX, pyatspi.ROLE_LIST):
            walk(child, seen)


def label_of(node):
    for relation in node.getRelationSet():
        if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
            for i in range(relation.getNTargets()):
                return relation.getTarget(i)
    return None


def spoken(text):
    return text.replace("&&", "\x01").replace("&", "").replace("\x01", "&").strip().rstrip(":：").strip()


def main():
    window = find_window(60)
    if window is None:
        print("the scan window never appeared on the accessibility bus")
        return 2
    # The picture and the lists fill in once the camera is open.
    time.sleep(2)
    nodes = []
    walk(window, nodes)
    faults = []
    checked = 0
    exit_button = None
    for node in nodes:
        role = node.getRole()
        if role not in NAMED_ROLES:
            continue
        if role == pyatspi.ROLE_PANEL and node.childCount == 0 and not node.name:
            continue  # a plain container without content of its own
        checked += 1
        name = node.name.strip()
        if role == pyatspi.ROLE_COMBO_BOX:
            # Qt on Linux gives a list its value as its name and leaves the
            # label to the "labelled by" relation, which screen readers speak
            # before the value.
            label = label_of(node)
            if label is None or not spoken(label.name):
                faults.append("list %r has no label tied to it" % name)
            continue
        if not name:
            faults.append("%s without a name (%s)" % (node.getRoleName(), node.description))
            continue
        if role == pyatspi.ROLE_PUSH_BUTTON and node.description.startswith("End the session"):
            exit_button = node
    print("checked %d controls" % checked)
    for node in nodes:
        if node.getRole() == pyatspi.ROLE_COMBO_BOX:
            print("list %r labelled %r" % (node.name, spoken(label_of(node).name)
                                            if label_of(node) else None))
    for fault in faults:
        print("FAULT: " + fault)
    if exit_button is not None:
        exit_button.queryAction().doAction(0)
    else:
        print("FAULT: no Exit button with its description")
        faults.append("exit")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
