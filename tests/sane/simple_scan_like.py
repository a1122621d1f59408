#!/usr/bin/python3
"""Scans through python3-sane, a second real SANE client library, setting
the options the way simple-scan does: the source by the names it knows a
flatbed and a feeder by, the nearest resolution of its own list, the scan
area to its maximum where the backend offers one. Prints one line a page:
SOURCE MODE DPI WIDTHxHEIGHT IMAGE-MODE; exits non-zero on the first fault.
usage: simple_scan_like.py DEVICE"""
import sys

import sane

FLATBED_NAMES = ["Flatbed", "Auto", "Normal"]
FEEDER_NAMES = ["Automatic Document Feeder", "ADF"]
# simple-scan's resolution choices; it takes the nearest the backend allows.
DPIS = [75, 150, 300, 600]


def fail(text):
    print("FAIL: " + text)
    sys.exit(1)


def set_source(dev, names):
    offered = dev["source"].constraint
    for name in names:
        if name in offered:
            dev.source = name
            return name
    fail("none of %s among the sources %s" % (names, offered))


def nearest_dpi(dev, wanted):
    allowed = dev["resolution"].constraint
    if isinstance(allowed, tuple):  # a range: (min, max, quant)
        return min(max(wanted, allowed[0]), allowed[1])
    return min(allowed, key=lambda dpi: (abs(dpi - wanted), dpi))


def scan_area_to_maximum(dev):
    for name in ("br_x", "br_y"):
        option = dev[name]
        if option.is_active():
            setattr(dev, name, option.constraint[1])


def check_page(image, mode, dpi, width_mm=None, height_mm=None):
    expected_mode = {"Color": "RGB", "Gray": "L", "Lineart": "L"}[mode]
    if image.mode != expected_mode:
        fail("%s page came as %s" % (mode, image.mode))
    if mode == "Lineart":
        # python3-sane spreads the bits to bytes: black and white only.
        levels = image.histogram()
        if sum(levels[1:255]) != 0 or levels[0] == 0 or levels[255] == 0:
            fail("a black-and-white page with grey in it, or all one colour")
    elif mode == "Gray" and len(set(image.getextrema())) < 2:
        fail("a grey page of one level")
    width, height = image.size
    if width_mm is not None:
        # The exact size the area gives at the resolution.
        want = (round(width_mm * dpi / 25.4), round(height_mm * dpi / 25.4))
        if (width, height) != want:
            fail("page %dx%d, not the %dx%d of the area at %d dpi" % (width, height, *want, dpi))
    else:
        # A found page: a portrait sheet of a sheet's size at this resolution.
        page_mm = width / dpi * 25.4
        if not height > width or not 120 < page_mm < 300:
            fail("page %dx%d at %d dpi is %.0f mm wide" % (width, height, dpi, page_mm))


def main():
    sane.init()
    dev = sane.open(sys.argv[1])
    try:
        for mode, wanted in (("Gray", 150), ("Color", 300), ("Lineart", 600)):
            source = set_source(dev, FLATBED_NAMES)
            dev.mode = mode
            dev.resolution = nearest_dpi(dev, wanted)
            scan_area_to_maximum(dev)
            if dev.resolution != wanted:
                fail("resolution %d set, %d kept" % (wanted, dev.resolution))
            image = dev.scan()
            check_page(image, mode, wanted)
            print(source, mode, wanted, "%dx%d" % image.size, image.mode)

        # Without page finding, the area at its maximum is the camera's whole
        # field, and the size is known before the scan.
        dev.mode = "Gray"
        dev.resolution = nearest_dpi(dev, 75)
        dev.find_page = False
        scan_area_to_maximum(dev)
        parameters = dev.get_parameters()
        image = dev.scan()
        check_page(image, "Gray", 75, 420, 315)
        if parameters[2] != image.size:
            fail("parameters said %s before the scan, the page is %s" % (parameters[2], image.size))
        print("Flatbed", "Gray", 75, "%dx%d" % image.size, image.mode, "field")

        # A page size chosen in simple-scan is the area from the corner:
        # exactly that size, with the page finding left on.
        dev.find_page = True
        dev.tl_x, dev.tl_y, dev.br_x, dev.br_y = 0, 0, 210, 297
        image = dev.scan()
        check_page(image, "Gray", 75, 210, 297)
        print("Flatbed", "Gray", 75, "%dx%d" % image.size, image.mode, "A4")
        scan_area_to_maximum(dev)

        # XSane's preview: the resolution reads as the preview's while it
        # is on, and as the one set again after it.
        dev.preview = True
        preview_dpi = dev.resolution
        image = dev.scan()
        dev.preview = False
        if preview_dpi != 75 or dev.resolution != 75 or abs(image.size[0] - 1240) > 12:
            fail("preview %s read %d dpi" % (image.size, preview_dpi))
        print("Preview", preview_dpi, "dpi", "landscape" if image.size[0] > image.size[1] else "")

        # A feeder batch from the flatbed is one page, then an empty feeder.
        dev.find_page = True
        pages = [image for image in dev.multi_scan()]
        if len(pages) != 1:
            fail("%d pages from the flatbed's feeder batch" % len(pages))
        print("Flatbed", "batch", len(pages))
        # The feeder is there by its name, with its wait to set.
        print(set_source(dev, FEEDER_NAMES), "wait", dev.feeder_wait)
    finally:
        dev.close()
        sane.exit()


main()
