"""Kelvaro directories from Python, through the C library libkelvaro (ctypes,
standard library only).

    import kelvaro
    for zone in kelvaro.fetch(["127.0.0.1"]):
        print(zone.address, zone.port, zone.name)

From the command line (with this folder on the module path, e.g. from inside
it or with PYTHONPATH set to it):

    python3 -m kelvaro list 127.0.0.1 [more directories] [--all] [--min N]
        [--timeout-ms T] [--format tsv|json]
    python3 -m kelvaro list ::1 --http-port P [--min N] [--timeout-ms T]
        [--format tsv|json]
    python3 -m kelvaro count 127.0.0.1 [--update-port P] [--timeout-ms T]

A directory is ADDRESS[:CLIENTPORT[:UPDATEPORT]]; with --http-port, one
address (a dotted quad or IPv6 text) whose /zones.json is read, IPv6 zones
included. The library is looked for
in $KELVARO_LIBRARY, then beside this file, then in the build tree this file
sits in, then wherever ctypes.util.find_library finds "kelvaro".
"""

import ctypes
import ctypes.util
import json
import os
import sys
from collections import namedtuple

_OK = 0
_PENDING = 1


class _ZoneEntry(ctypes.Structure):
    _fields_ = [
        ("family", ctypes.c_int),
        ("address_text", ctypes.c_char * 46),
        ("address_bytes", ctypes.c_uint8 * 16),
        ("address", ctypes.c_uint32),
        ("port", ctypes.c_uint16),
        ("population", ctypes.c_uint16),
        ("flag", ctypes.c_uint16),
        ("word", ctypes.c_uint32),
        ("name", ctypes.c_char * 32),
        ("description", ctypes.c_char * 256),
        ("name_length", ctypes.c_uint16),
        ("description_length", ctypes.c_uint16),
        ("directory", ctypes.c_uint32),
    ]


class _WebZone(ctypes.Structure):
    _fields_ = [
        ("zone", _ZoneEntry),
        ("has_address6", ctypes.c_int),
        ("address6_text", ctypes.c_char * 46),
        ("address6_bytes", ctypes.c_uint8 * 16),
        ("port6", ctypes.c_uint16),
        ("last_heard", ctypes.c_uint32),
        ("from_peer", ctypes.c_int),
    ]


class _Directory(ctypes.Structure):
    _fields_ = [("address", ctypes.c_char_p), ("client_port", ctypes.c_uint16),
                ("update_port", ctypes.c_uint16)]


class _FetchOptions(ctypes.Structure):
    _fields_ = [("min_population", ctypes.c_uint32), ("timeout_ms", ctypes.c_uint32),
                ("max_zones", ctypes.c_uint32), ("fetch_all", ctypes.c_int)]


# One listed zone; name and description are the bytes the directory listed.
Zone = namedtuple("Zone", "address port population flag word name description directory")

# One zone of a directory's /zones.json: a Zone's fields (directory is 0),
# its family (4 or 6), its IPv6 address and port when it is on both families
# (else None and 0), the seconds from its last update or ping reply to the
# document's making, and whether it is known only from a peer's list.
WebZone = namedtuple("WebZone", Zone._fields + ("family", "address6", "port6", "last_heard",
                                                "from_peer"))


class KelvaroError(Exception):
    def __init__(self, status, text):
        super().__init__(text)
        self.status = status


def _candidates():
    given = os.environ.get("KELVARO_LIBRARY")
    if given:
        yield given
    here = os.path.dirname(os.path.abspath(__file__))
    for folder in (here, os.path.join(here, "..", "..", "build", "client")):
        for name in ("libkelvaro.so", "libkelvaro.so.1", "libkelvaro.dylib"):
            path = os.path.join(folder, name)
            if os.path.exists(path):
                yield path
    found = ctypes.util.find_library("kelvaro")
    if found:
        yield found


_library = None


def library():
    """The loaded libkelvaro (loaded on first use)."""
    global _library
    if _library is not None:
        return _library
    errors = []
    for path in _candidates():
        try:
            lib = ctypes.CDLL(path)
            break
        except OSError as error:
            errors.append(str(error))
    else:
        raise OSError("libkelvaro not found (set KELVARO_LIBRARY): " + "; ".join(errors))
    lib.kelvaro_strerror.restype = ctypes.c_char_p
    lib.kelvaro_version.restype = ctypes.c_char_p
    lib.kelvaro_fetch_list.argtypes = [ctypes.POINTER(_Directory), ctypes.c_size_t,
                                       ctypes.POINTER(_FetchOptions),
                                       ctypes.POINTER(ctypes.POINTER(_ZoneEntry)),
                                       ctypes.POINTER(ctypes.c_size_t)]
    lib.kelvaro_free_zones.argtypes = [ctypes.POINTER(_ZoneEntry)]
    if hasattr(lib, "kelvaro_fetch_web"):  # since 1.1
        lib.kelvaro_fetch_web.argtypes = [ctypes.c_char_p, ctypes.c_uint16, ctypes.c_uint32,
                                          ctypes.c_uint32, ctypes.POINTER(ctypes.POINTER(_WebZone)),
                                          ctypes.POINTER(ctypes.c_size_t)]
        lib.kelvaro_free_web_zones.argtypes = [ctypes.POINTER(_WebZone)]
    lib.kelvaro_count.argtypes = [ctypes.c_char_p, ctypes.c_uint16, ctypes.c_uint32,
                                  ctypes.POINTER(ctypes.c_uint32)]
    lib.kelvaro_zone_create.argtypes = [ctypes.POINTER(ctypes.c_void_p), ctypes.c_uint16,
                                        ctypes.c_uint]
    for name in ("kelvaro_zone_set_name", "kelvaro_zone_set_password",
                 "kelvaro_zone_set_description"):
        getattr(lib, name).argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    lib.kelvaro_zone_add_directory.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint16,
                                               ctypes.c_void_p]
    lib.kelvaro_zone_set_population.argtypes = [ctypes.c_void_p, ctypes.c_uint16]
    lib.kelvaro_zone_poll.argtypes = [ctypes.c_void_p]
    lib.kelvaro_zone_fd.argtypes = [ctypes.c_void_p]
    lib.kelvaro_zone_destroy.argtypes = [ctypes.c_void_p]
    _library = lib
    return lib


def _check(status):
    if status != _OK:
        text = library().kelvaro_strerror(status).decode("ascii")
        raise KelvaroError(status, text)


def parse_directory(text):
    """(address, client_port, update_port) from ADDRESS[:CLIENTPORT[:UPDATEPORT]]; 0: default."""
    parts = text.split(":")
    ports = [int(part) for part in parts[1:3]] + [0, 0]
    return parts[0], ports[0], ports[1]


def fetch(directories, min_population=0, timeout_ms=2000, fetch_all=False, max_zones=0):
    """The zones of the directories (texts "ADDRESS[:PORT[:UPDATEPORT]]" or
    tuples), merged by address and port; KelvaroError when none gave its list."""
    lib = library()
    parsed = [parse_directory(d) if isinstance(d, str) else tuple(d) + (0, 0)[len(d) - 1:]
              for d in directories]
    array = (_Directory * len(parsed))()
    for slot, (address, client_port, update_port) in zip(array, parsed):
        slot.address = address.encode("ascii")
        slot.client_port = client_port
        slot.update_port = update_port
    options = _FetchOptions(min_population, timeout_ms, max_zones, 1 if fetch_all else 0)
    zones = ctypes.POINTER(_ZoneEntry)()
    count = ctypes.c_size_t(0)
    _check(lib.kelvaro_fetch_list(array, len(parsed), ctypes.byref(options), ctypes.byref(zones),
                                  ctypes.byref(count)))
    try:
        return [Zone(*_zone_fields(zones[i])) for i in range(count.value)]
    finally:
        lib.kelvaro_free_zones(zones)


def _zone_fields(z):
    # The texts by their lengths: they may hold any byte but NUL.
    return (z.address_text.decode("ascii"), z.port, z.population, z.flag, z.word,
            ctypes.string_at(ctypes.addressof(z) + _ZoneEntry.name.offset, z.name_length),
            ctypes.string_at(ctypes.addressof(z) + _ZoneEntry.description.offset,
                             z.description_length),
            z.directory)


def fetch_web(address, http_port=0, timeout_ms=2000, max_zones=0, min_population=0):
    """Every zone of the directory's /zones.json (its HTTP front, [Http] Port;
    0: 8080), IPv6 ones too, as WebZone records; address is a dotted quad or
    IPv6 text. Zones below min_population are left out here. KelvaroError
    when the document did not come whole or was refused."""
    lib = library()
    if not hasattr(lib, "kelvaro_fetch_web"):
        raise OSError("fetch_web needs libkelvaro 1.1 or later, not %s"
                      % lib.kelvaro_version().decode("ascii"))
    zones = ctypes.POINTER(_WebZone)()
    count = ctypes.c_size_t(0)
    _check(lib.kelvaro_fetch_web(address.encode("ascii"), http_port, timeout_ms, max_zones,
                                 ctypes.byref(zones), ctypes.byref(count)))
    try:
        found = []
        for i in range(count.value):
            z = zones[i]
            if z.zone.population < min_population:
                continue
            address6 = z.address6_text.decode("ascii") if z.has_address6 else None
            found.append(WebZone(*_zone_fields(z.zone), z.zone.family, address6, z.port6,
                                 z.last_heard, bool(z.from_peer)))
        return found
    finally:
        lib.kelvaro_free_web_zones(zones)


def count(address, update_port=0, timeout_ms=2000):
    """How many zones the directory lists."""
    result = ctypes.c_uint32(0)
    _check(library().kelvaro_count(address.encode("ascii"), update_port, timeout_ms,
                                   ctypes.byref(result)))
    return result.value


class GameZone:
    """A zone that stays listed while the game calls poll() from its loop."""

    def __init__(self, port, name, password="", description="", directories=("127.0.0.1",)):
        lib = library()
        self._lib = lib
        self._zone = ctypes.c_void_p()
        _check(lib.kelvaro_zone_create(ctypes.byref(self._zone), port, 0))
        _check(lib.kelvaro_zone_set_name(self._zone, name.encode()))
        _check(lib.kelvaro_zone_set_password(self._zone, password.encode()))
        _check(lib.kelvaro_zone_set_description(self._zone, description.encode()))
        for directory in directories:
            address, _, update_port = parse_directory(directory)
            _check(lib.kelvaro_zone_add_directory(self._zone, address.encode("ascii"),
                                                  update_port, None))

    def fileno(self):
        return self._lib.kelvaro_zone_fd(self._zone)

    def set_population(self, population):
        _check(self._lib.kelvaro_zone_set_population(self._zone, population))

    def poll(self):
        _check(self._lib.kelvaro_zone_poll(self._zone))

    def close(self):
        if self._zone:
            self._lib.kelvaro_zone_destroy(self._zone)
            self._zone = ctypes.c_void_p()

    def __del__(self):
        self.close()


def _field(text):
    return text.replace(b"\t", b" ").replace(b"\r", b" ").replace(b"\n", b" ")


def _json_text(raw):
    out = []
    for byte in raw:
        if byte in (0x22, 0x5C):
            out.append("\\" + chr(byte))
        elif 0x20 <= byte <= 0x7E:
            out.append(chr(byte))
        else:
            out.append("\\u%04x" % byte)
    return '"' + "".join(out) + '"'


def _endpoint(address, port):
    return ("[%s]:%d" if ":" in address else "%s:%d") % (address, port)


def _json_zone(z):
    text = ('{"address":"%s","port":%d,"population":%d,"flag":%d,"word":%d,"name":%s,'
            '"description":%s' % (z.address, z.port, z.population, z.flag, z.word,
                                  _json_text(z.name), _json_text(z.description)))
    # A zone on both families as /zones.json writes it.
    if getattr(z, "address6", None):
        text += ',"address6":"%s","port6":%d,"addresses":["%s","%s"]' % (
            z.address6, z.port6, _endpoint(z.address, z.port), _endpoint(z.address6, z.port6))
    return text + "}"


def main(arguments):
    usage = ("usage: python3 -m kelvaro list DIRECTORY... [--all] [--min N] [--timeout-ms T]"
             " [--format tsv|json]\n       python3 -m kelvaro list ADDRESS --http-port P"
             " [--min N] [--timeout-ms T] [--format tsv|json]\n"
             "       python3 -m kelvaro count ADDRESS [--update-port P] [--timeout-ms T]\n")
    if not arguments or arguments[0] not in ("list", "count"):
        sys.stderr.write(usage)
        return 2
    command, rest = arguments[0], arguments[1:]
    directories = []
    options = {"--min": 0, "--timeout-ms": 2000, "--update-port": 0, "--http-port": 0}
    fetch_all, output = False, "tsv"
    i = 0
    try:
        while i < len(rest):
            if rest[i] == "--all":
                fetch_all = True
            elif rest[i] == "--format":
                output = rest[i + 1]
                i += 1
            elif rest[i] in options:
                options[rest[i]] = int(rest[i + 1], 0)
                i += 1
            else:
                directories.append(rest[i])
            i += 1
    except (IndexError, ValueError):
        sys.stderr.write(usage)
        return 2
    web = options["--http-port"] != 0
    if (not directories or output not in ("tsv", "json")
            or (web and (command != "list" or fetch_all or len(directories) > 1))):
        sys.stderr.write(usage)
        return 2
    try:
        if command == "count":
            address = parse_directory(directories[0])[0]
            print(count(address, options["--update-port"], options["--timeout-ms"]))
            return 0
        if web:
            zones = fetch_web(directories[0], options["--http-port"], options["--timeout-ms"],
                              min_population=options["--min"])
        else:
            zones = fetch(directories, options["--min"], options["--timeout-ms"], fetch_all)
    except (KelvaroError, OSError, ValueError) as error:
        sys.stderr.write("kelvaro: %s\n" % error)
        return 1
    out = sys.stdout.buffer
    if output == "json":
        rows = [_json_zone(z) for z in zones]
        out.write(("[" + ",\n".join(rows) + "]\n").encode("ascii"))
    else:
        for z in zones:
            out.write(b"%s\t%d\t%d\t%d\t%s\t%s\n" % (z.address.encode("ascii"), z.port,
                                                     z.population, z.flag, _field(z.name),
                                                     _field(z.description)))
    out.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
