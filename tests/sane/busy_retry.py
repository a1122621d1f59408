#!/usr/bin/python3
"""Tries to start a scan again and again while the camera is busy, as
simple-scan does, through python3-sane. Prints the status of each try, one
a line; exits non-zero when a start succeeds.
usage: busy_retry.py DEVICE TRIES"""
import sys

import sane


def main():
    sane.init()
    dev = sane.open(sys.argv[1])
    try:
        for _ in range(int(sys.argv[2])):
            try:
                dev.start()
            except sane._sane.error as error:
                print(error)
                continue
            print("started")
            sys.exit(1)
    finally:
        dev.close()
        sane.exit()


main()
