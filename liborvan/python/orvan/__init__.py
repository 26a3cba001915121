"""The Orvan target's serial flash through a USB-to-SPI cable, from Python.

A thin layer over liborvan (ctypes, nothing to compile)::

    import orvan

    with orvan.Cable() as cable:                      # the default cable
        cable.write(orvan.Image(0x4000, firmware))    # or cable.write("app.hex")
        cable.verify("app.hex")

Every failure raises a subclass of OrvanError, by class of status:
TargetDisagreed (1), InputError (2), CableError (3), Interrupted (5).
One cable per process, used from one thread at a time (doc/library.md).
"""

from __future__ import annotations

import ctypes
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Iterable, List, Optional, Union

from ._library_path import LIBRARY_FROM_MODULE

__all__ = [
    "Cable", "CableEntry", "CableError", "Image", "InputError", "Interrupted", "OrvanError",
    "Progress", "TargetDisagreed", "list_cables", "load_image", "version",
]

SECTOR_BYTES = 16384
FLASH_BYTES = 8 * SECTOR_BYTES
WRITE_MODES = {"default": 0, "changed": 1, "full": 2}

# Called as progress(phase, done, total); a true result stops the call.
Progress = Callable[[str, int, int], Optional[bool]]


class OrvanError(Exception):
    """A call that failed; status is liborvan's status, str() its error line."""

    status = 0

    def __init__(self, message: str, status: Optional[int] = None) -> None:
        super().__init__(message)
        if status is not None:
            self.status = status


class TargetDisagreed(OrvanError):
    """The target did not go along: a verify mismatch, not blank after erase, stays busy."""

    status = 1


class InputError(OrvanError):
    """A bad argument or image, found before the target was touched."""

    status = 2


class CableError(OrvanError):
    """No cable, not opened or set up, wrong identity, or it stopped answering."""

    status = 3


class Interrupted(OrvanError):
    """Stopped by the progress callable; the message says what the flash may hold."""

    status = 5


_ERRORS = {error.status: error for error in (TargetDisagreed, InputError, CableError, Interrupted)}


class _CableEntry(ctypes.Structure):
    _fields_ = [("index", ctypes.c_uint32), ("location", ctypes.c_uint32), ("name", ctypes.c_char * 64),
                ("channel", ctypes.c_char * 8), ("is_default", ctypes.c_int)]


class _Info(ctypes.Structure):
    _fields_ = [("location", ctypes.c_char * 16), ("name", ctypes.c_char * 64), ("channel", ctypes.c_char * 8),
                ("divisor", ctypes.c_uint32), ("clock_hz", ctypes.c_uint32), ("identity", ctypes.c_uint8)]


class _Image(ctypes.Structure):
    _fields_ = [("address", ctypes.c_uint32), ("bytes", ctypes.POINTER(ctypes.c_uint8)),
                ("length", ctypes.c_size_t), ("name", ctypes.c_char_p)]


_PROGRESS = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint64, ctypes.c_uint64)


def _load_library() -> ctypes.CDLL:
    # ORVAN_LIBRARY names another build; else the installed one under this
    # module's prefix; else the loader's search path.
    installed = Path(__file__).resolve().parent / LIBRARY_FROM_MODULE
    named = os.environ.get("ORVAN_LIBRARY")
    candidate = named or (str(installed) if installed.exists() else "liborvan.so.1")
    try:
        library = ctypes.CDLL(candidate)
    except OSError as error:
        raise ImportError("orvan: liborvan could not be loaded: %s" % error) from error
    _declare(library)
    return library


def _declare(library: ctypes.CDLL) -> None:
    cable_pointer = ctypes.c_void_p
    calls = {
        "orvan_version": (ctypes.c_char_p, []),
        "orvan_last_error": (ctypes.c_char_p, []),
        "orvan_list": (ctypes.c_int, [ctypes.POINTER(_CableEntry), ctypes.c_size_t, ctypes.POINTER(ctypes.c_size_t)]),
        "orvan_open": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_uint32, ctypes.POINTER(cable_pointer)]),
        "orvan_close": (None, [cable_pointer]),
        "orvan_get_info": (ctypes.c_int, [cable_pointer, ctypes.POINTER(_Info)]),
        "orvan_image_load_parts": (ctypes.c_int, [ctypes.c_char_p, ctypes.POINTER(ctypes.POINTER(_Image)),
                                                  ctypes.POINTER(ctypes.c_size_t)]),
        "orvan_image_free_parts": (None, [ctypes.POINTER(_Image), ctypes.c_size_t]),
        "orvan_read": (ctypes.c_int, [cable_pointer, ctypes.c_uint32, ctypes.c_size_t,
                                      ctypes.POINTER(ctypes.c_uint8), _PROGRESS, ctypes.c_void_p]),
        "orvan_verify": (ctypes.c_int, [cable_pointer, ctypes.POINTER(_Image), ctypes.c_size_t, _PROGRESS,
                                        ctypes.c_void_p]),
        "orvan_erase": (ctypes.c_int, [cable_pointer, ctypes.c_uint32, ctypes.c_uint32, _PROGRESS,
                                       ctypes.c_void_p]),
        "orvan_write": (ctypes.c_int, [cable_pointer, ctypes.POINTER(_Image), ctypes.c_size_t, ctypes.c_int,
                                       _PROGRESS, ctypes.c_void_p]),
    }
    for name, (result, arguments) in calls.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments


_library = _load_library()


def _check(status: int) -> None:
    if status != 0:
        message = _library.orvan_last_error().decode(errors="replace")
        raise _ERRORS.get(status, OrvanError)(message, status)


def version() -> str:
    """liborvan's version, "1.1"."""
    return _library.orvan_version().decode()


@dataclass(frozen=True)
class Image:
    """Bytes that go at a flash address; name, if given, names it in errors."""

    address: int
    data: bytes
    name: Optional[str] = None


@dataclass(frozen=True)
class CableEntry:
    """One device the adapter library lists."""

    index: int
    location: str
    name: str
    channel: str
    is_default: bool


def list_cables() -> List[CableEntry]:
    """Every device the adapter library lists; the default one is marked."""
    count = ctypes.c_size_t(0)
    _check(_library.orvan_list(None, 0, ctypes.byref(count)))
    entries = (_CableEntry * max(count.value, 1))()
    _check(_library.orvan_list(entries, count.value, ctypes.byref(count)))
    return [CableEntry(entry.index, "0x%x" % entry.location, entry.name.decode(), entry.channel.decode(),
                       bool(entry.is_default)) for entry in entries[:count.value]]


def load_image(argument: str) -> List[Image]:
    """The images of a file in orvan's IMAGE form: "boot.bin@0",
    "app.bin@0x4000", "app.hex", "app.hex@base=0x08000000". One image per run
    of consecutive sectors the file's records touch, in address order, each
    from its first byte to its last with 0xff between records; a raw file
    gives one. Written together they leave a sector between two runs alone,
    as orvan write does."""
    loaded = ctypes.POINTER(_Image)()
    count = ctypes.c_size_t(0)
    _check(_library.orvan_image_load_parts(argument.encode(), ctypes.byref(loaded), ctypes.byref(count)))
    try:
        return [Image(part.address, ctypes.string_at(part.bytes, part.length), argument)
                for part in loaded[:count.value]]
    finally:
        _library.orvan_image_free_parts(loaded, count)


# A file name stands for each of the images load_image gives for it.
ImageLike = Union[Image, str]


class _Call:
    """A progress callable turned into liborvan's callback. An exception the
    callable raises (KeyboardInterrupt too) stops the call, and is raised
    again once it returns."""

    def __init__(self, progress: Optional[Progress]) -> None:
        self.progress = progress
        self.raised: Optional[BaseException] = None
        self.callback = _PROGRESS(self._report)

    def _report(self, _context: int, phase: bytes, done: int, total: int) -> int:
        if self.progress is None:
            return 0
        try:
            return 1 if self.progress(phase.decode(), done, total) else 0
        except BaseException as raised:  # handed back to the caller by finish()
            self.raised = raised
            return 1

    def finish(self, status: int) -> None:
        if self.raised is not None:
            raise self.raised
        _check(status)


class Cable:
    """An open cable: Cable() takes the default one, Cable("0x1101") the one at
    that location. divisor sets the SPI clock, 30 MHz / (divisor + 1).
    A context manager; close() is idempotent."""

    def __init__(self, location: Optional[str] = None, divisor: int = 8) -> None:
        handle = ctypes.c_void_p()
        _check(_library.orvan_open(location.encode() if location else None, divisor, ctypes.byref(handle)))
        self._handle: Optional[int] = handle.value

    def __enter__(self) -> "Cable":
        return self

    def __exit__(self, *_exception: object) -> None:
        self.close()

    def close(self) -> None:
        """Closes the cable; the process may then open one again."""
        if self._handle is not None:
            _library.orvan_close(self._handle)
            self._handle = None

    def _open_handle(self) -> int:
        if self._handle is None:
            raise InputError("the cable is closed")
        return self._handle

    def info(self) -> dict:
        """location, name, channel, divisor, clock_hz and identity of the open cable."""
        info = _Info()
        _check(_library.orvan_get_info(self._open_handle(), ctypes.byref(info)))
        return {"location": info.location.decode(), "name": info.name.decode(),
                "channel": info.channel.decode(), "divisor": info.divisor, "clock_hz": info.clock_hz,
                "identity": info.identity}

    def read(self, address: int = 0, length: int = FLASH_BYTES, progress: Optional[Progress] = None) -> bytes:
        """length bytes of flash from address (the whole flash by default)."""
        buffer = (ctypes.c_uint8 * max(length, 1))()
        call = _Call(progress)
        call.finish(_library.orvan_read(self._open_handle(), address, length, buffer, call.callback, None))
        return bytes(buffer)[:length]

    def verify(self, *images: ImageLike, progress: Optional[Progress] = None) -> None:
        """Compares the flash with each image (a file name: each of its
        load_image images); TargetDisagreed names the first difference."""
        self._run_images(_library.orvan_verify, images, [], progress)

    def erase(self, first_sector: int = 0, count: int = 8, progress: Optional[Progress] = None) -> None:
        """Erases count 16 KiB sectors from first_sector and checks them blank."""
        call = _Call(progress)
        call.finish(_library.orvan_erase(self._open_handle(), first_sector, count, call.callback, None))

    def write(self, *images: ImageLike, mode: str = "default", progress: Optional[Progress] = None) -> None:
        """Writes the images in order (a file name: each of its load_image
        images), each read back and compared. mode is
        "default" (bytes other than 0xff sent), "changed" (sectors already right
        left alone) or "full" (every byte sent)."""
        if mode not in WRITE_MODES:
            raise InputError("write: mode %r is not one of %s" % (mode, ", ".join(WRITE_MODES)))
        self._run_images(_library.orvan_write, images, [WRITE_MODES[mode]], progress)

    def _run_images(self, function: Callable[..., int], images: Iterable[ImageLike], extra: list,
                    progress: Optional[Progress]) -> None:
        loaded = [part for image in images for part in (load_image(image) if isinstance(image, str) else [image])]
        array = (_Image * max(len(loaded), 1))()
        buffers = []
        for slot, image in zip(array, loaded):
            buffer = (ctypes.c_uint8 * max(len(image.data), 1)).from_buffer_copy(bytes(image.data) or b"\0")
            buffers.append(buffer)
            slot.address = image.address
            slot.bytes = ctypes.cast(buffer, ctypes.POINTER(ctypes.c_uint8))
            slot.length = len(image.data)
            slot.name = image.name.encode() if image.name else None
        call = _Call(progress)
        call.finish(function(self._open_handle(), array, len(loaded), *extra, call.callback, None))
