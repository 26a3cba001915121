"""The orvan module over the installed liborvan and the virtual adapter.

Run by library_python_test.sh with the installed module on PYTHONPATH and
the virtual adapter on LD_LIBRARY_PATH. The adapter reads its VADAPTER_*
variables once per process, so each error case runs in a child process of
its own; the other cases share this process's flash file."""

import os
import subprocess
import sys

import pytest

import orvan

SECTOR = 16384
BOOT = bytes((i * 7 + 1) & 0xFF for i in range(20000))
APP = bytes(range(256)) * 2


def expected_flash(*images):
    flash = bytearray(b"\xff" * 8 * SECTOR)
    for address, data in images:
        flash[address:address + len(data)] = data
    return bytes(flash)


@pytest.fixture(scope="module")
def cable():
    with orvan.Cable() as opened:
        yield opened


# Written in order on one flash: the second write finds the images there.
@pytest.mark.parametrize("mode, phases", [
    ("default", {"erase", "blank", "program", "verify"}),
    ("changed", {"compare"}),
    ("full", {"erase", "blank", "program", "verify"}),
])
def test_write_sends_the_images_and_tells_progress(cable, mode, phases):
    told = []
    cable.write(orvan.Image(0, BOOT), orvan.Image(0x8100, APP, "app"), mode=mode,
                progress=lambda phase, done, total: told.append((phase, done, total)))
    assert {phase for phase, _, total in told if total > 0} == phases
    assert all(0 <= done <= total for _, done, total in told)
    assert cable.read() == expected_flash((0, BOOT), (0x8100, APP))
    cable.verify(orvan.Image(0x8100, APP))


def test_files_in_orvans_image_form(cable, tmp_path):
    # Intel HEX, two records with a gap between them, and a raw file.
    (tmp_path / "app.hex").write_text(":0440000001020304B2\n:02401000AABB49\n:00000001FF\n")
    (tmp_path / "boot.bin").write_bytes(BOOT[:100])
    cable.write(str(tmp_path / "app.hex"), str(tmp_path / "boot.bin") + "@0")
    assert cable.read(0x4000, 0x12) == bytes([1, 2, 3, 4]) + b"\xff" * 12 + bytes([0xAA, 0xBB])
    assert cable.read(0, 100) == BOOT[:100]
    assert [image.address for image in orvan.load_image(str(tmp_path / "app.hex"))] == [0x4000]


def intel_hex(records):
    lines = []
    for address, data in records:
        for kind, offset, payload in ((4, 0, (address >> 16).to_bytes(2, "big")), (0, address & 0xFFFF, data)):
            body = bytes([len(payload), offset >> 8, offset & 0xFF, kind]) + payload
            lines.append(":%s%02X" % (body.hex().upper(), -sum(body) & 0xFF))
    return "\n".join(lines + [":00000001FF\n"])


def srecord(records):
    bodies = [bytes([len(data) + 5]) + address.to_bytes(4, "big") + data for address, data in records]
    lines = ["S3%s%02X" % (body.hex().upper(), 0xFF - sum(body) & 0xFF) for body in bodies]
    return "\n".join(lines + ["S70500000000FA\n"])


# Each file: its records, and the images load_image gives, (address, length).
SPLIT_FILES = [
    ("app.hex", intel_hex, [(0x10, b"\x01\x02"), (0x8000, b"\xAA\xBB\xCC")], [(0x10, 2), (0x8000, 3)]),
    ("app.srec", srecord, [(0x4000, b"\x05"), (0x7FFF, b"\x06\x07"), (0x14000, b"\x08")],
     [(0x4000, 0x4001), (0x14000, 1)]),
]


@pytest.mark.parametrize("name, form, records, parts", SPLIT_FILES, ids=[case[0] for case in SPLIT_FILES])
def test_a_file_leaves_the_sectors_between_its_records_alone(cable, tmp_path, name, form, records, parts):
    path = str(tmp_path / name)
    (tmp_path / name).write_text(form(records))
    before = bytes((i * 13 + 5) & 0xFF for i in range(8 * SECTOR))
    cable.write(orvan.Image(0, before))
    assert [(image.address, len(image.data)) for image in orvan.load_image(path)] == parts
    cable.write(path)
    cable.verify(path)
    expected = bytearray(before)
    for sector in {at // SECTOR for address, data in records for at in range(address, address + len(data))}:
        expected[sector * SECTOR:(sector + 1) * SECTOR] = b"\xff" * SECTOR
    for address, data in records:
        expected[address:address + len(data)] = data
    assert cable.read() == bytes(expected)


def test_erase_leaves_the_sectors_blank_and_the_rest(cable):
    cable.write(orvan.Image(0, BOOT))
    cable.erase(1, 2)
    assert cable.read(0, 3 * SECTOR) == BOOT[:SECTOR] + b"\xff" * 2 * SECTOR


def test_info_and_the_listing(cable):
    info = cable.info()
    assert (info["identity"], info["divisor"], info["clock_hz"]) == (0xAC, 8, 3333333)
    assert [entry.location for entry in orvan.list_cables() if entry.is_default] == [info["location"]]


# Each case: its variables, what it does with the open default cable, the error class.
ERRORS = [
    ("image past the flash", {}, "cable.write(orvan.Image(0x1FFFF, b'ab'))", "InputError"),
    ("empty image", {}, "cable.verify(orvan.Image(0, b''))", "InputError"),
    ("two images in one sector", {}, "cable.write(orvan.Image(0, b'a'), orvan.Image(9, b'b'))", "InputError"),
    ("read past the flash", {}, "cable.read(0x1FFFF, 2)", "InputError"),
    ("bad write mode", {}, "cable.write(orvan.Image(0, b'a'), mode='fast')", "InputError"),
    ("second cable in the process", {}, "orvan.Cable()", "InputError"),
    ("no cable listed", {"VADAPTER_DEVICES": ""}, "pass", "CableError"),
    ("wrong identity", {"VADAPTER_IDENTITY": "0x12"}, "pass", "CableError"),
    ("stuck bit", {"VADAPTER_STUCK_BIT": "0x4000"}, "cable.write(orvan.Image(0x4000, b'\\x01' * 16))",
     "TargetDisagreed"),
    ("unerased sector", {"VADAPTER_UNERASED_SECTOR": "2"}, "cable.erase(2, 1)", "TargetDisagreed"),
    ("progress asks to stop", {}, "cable.erase(progress=lambda phase, done, total: done > 0)", "Interrupted"),
]

CHILD = """
import sys, orvan
try:
    with orvan.Cable() as cable:
        exec(sys.argv[1])
except orvan.OrvanError as error:
    print(type(error).__name__, error.status, bool(str(error)))
"""


@pytest.mark.parametrize("name, variables, action, error", ERRORS, ids=[case[0] for case in ERRORS])
def test_errors_raise_their_class(tmp_path, name, variables, action, error):
    environment = dict(os.environ, VADAPTER_FLASH=str(tmp_path / "flash.bin"), **variables)
    child = subprocess.run([sys.executable, "-c", CHILD, action], env=environment, capture_output=True,
                           text=True, timeout=60)
    status = getattr(orvan, error).status
    assert child.stdout.split() == [error, str(status), "True"], child.stderr


def test_an_exception_in_progress_stops_the_call_and_is_raised(cable):
    def fail(phase, done, total):
        raise KeyError(phase)

    with pytest.raises(KeyError):
        cable.erase(0, 1, progress=fail)
    cable.erase(0, 1)
