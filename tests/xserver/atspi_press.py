#!/usr/bin/env python3
"""Works the scan window through AT-SPI where no input device exists (a
headless Wayland compositor): each argument is a step, done in order.

  press=<name>   press the showing button of that accessible name
  wait=<s>       wait that many seconds
  run=<command>  run a shell command (a screen grab) and wait for it

Exit status 0 when every step was done, 1 when a button was not found, 2
when the window never appeared on the accessibility bus.
"""
import subprocess
import sys
import time

import pyatspi


def application(timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name == "TavrinDesk" and app.childCount > 0:
                return app
        time.sleep(0.5)
    return None


def find_button(node, name):
    for child in node:
        if child is None or not child.getState().contains(pyatspi.STATE_SHOWING):
            continue
        if child.getRole() == pyatspi.ROLE_PUSH_BUTTON and child.name == name:
            return child
        found = find_button(child, name)
        if found is not None:
            return found
    return None


def main(steps):
    app = application(60)
    if app is None:
        print("the scan window never appeared on the accessibility bus")
        return 2
    for step in steps:
        kind, _, value = step.partition("=")
        if kind == "wait":
            time.sleep(float(value))
        elif kind == "run":
            subprocess.run(value, shell=True, check=False)
        elif kind == "press":
            button = None
            for _ in range(20):
                button = find_button(app, value)
                if button is not None:
                    break
                time.sleep(0.5)
            if button is None:
                print("no button %r" % value)
                return 1
            button.queryAction().doAction(0)
        print("done: " + step, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
