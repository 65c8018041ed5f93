"""Checks built wheels, whichever platform they are for and however they were made.

    python tools/check_wheels.py WHEEL...      (in a venv with pyelftools and pefile)

Each wheel's platform tag must be its platform's in targets.toml, and its
module must keep what that tag promises: on Linux, no glibc symbol version
newer than the tag's (nor a tag newer than the platform's ceiling); on
Windows, no DLL but the interpreter's and Windows' own. It exports
PyInit_zendrik alone, its RECORD matches its files, its stubs are the
repository's, and every wheel has the same metadata, field by field.
"""
import base64
import csv
import email.parser
import hashlib
import io
import pathlib
import re
import sys
import tomllib
import zipfile

import pefile
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

ROOT = pathlib.Path(__file__).resolve().parent.parent
TABLE = tomllib.loads((ROOT / "targets.toml").read_text(encoding="utf-8"))
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
STUBS = (ROOT / "stubs" / "zendrik-stubs" / "__init__.pyi").read_bytes()
EXPORTS = TABLE["wheels"]["exports"]


class Unsound(Exception):
    pass


def platform_of(tags):
    for name, spec in TABLE["platforms"].items():
        if spec.get("wheel") in tags:
            return name, spec
    raise Unsound(f"no platform of targets.toml has the tag {'.'.join(tags)}")


def glibc(version):
    return tuple(int(part) for part in version.split("."))


def check_elf(module, tags, spec):
    elf = ELFFile(io.BytesIO(module))
    needed = set()
    for section in elf.iter_sections():
        if isinstance(section, GNUVerNeedSection):
            for _, auxiliaries in section.iter_versions():
                needed |= {aux.name for aux in auxiliaries if aux.name.startswith("GLIBC_2.")}
    newest = max((glibc(name.removeprefix("GLIBC_")) for name in needed), default=(2, 0))
    promised = min(glibc("2." + tag.split("_")[2]) for tag in tags if tag.startswith("manylinux_2_"))
    if newest > promised:
        raise Unsound(f"needs glibc {'.'.join(map(str, newest))}, newer than its tag's")
    if promised > glibc(spec["glibc"]):
        raise Unsound(f"its tag asks for a glibc newer than {spec['glibc']}")
    return sorted(symbol.name for symbol in elf.get_section_by_name(".dynsym").iter_symbols()
                  if symbol["st_shndx"] != "SHN_UNDEF" and symbol["st_info"]["bind"] != "STB_LOCAL" and symbol.name)


def check_pe(module):
    pe = pefile.PE(data=module)
    allowed = re.compile("|".join(TABLE["wheels"]["windows-dlls"]), re.IGNORECASE)
    imports = [entry.dll.decode() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    foreign = [dll for dll in imports if not allowed.fullmatch(dll)]
    if foreign:
        raise Unsound(f"needs DLLs that Windows lacks: {foreign}")
    return sorted(symbol.name.decode() for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols)


def check_record(archive, dist_info):
    rows = list(csv.reader(io.StringIO(archive.read(f"{dist_info}/RECORD").decode())))
    recorded = {row[0] for row in rows}
    files = {name for name in archive.namelist() if not name.endswith("/")}
    if recorded != files:
        raise Unsound(f"RECORD lists other files than the wheel has: {sorted(recorded ^ files)}")
    for name, digest, _ in rows:
        if name == f"{dist_info}/RECORD":
            continue
        actual = base64.urlsafe_b64encode(hashlib.sha256(archive.read(name)).digest()).rstrip(b"=").decode()
        if digest != f"sha256={actual}":
            raise Unsound(f"RECORD's hash of {name} is not its content's")


def metadata(archive, dist_info):
    """The .dist-info's files but RECORD, with WHEEL's tags set apart."""
    found = {}
    for name in archive.namelist():
        if name.startswith(dist_info + "/") and not name.endswith(("/", "/RECORD")):
            found[name] = archive.read(name).decode()
    found[f"{dist_info}/WHEEL"] = "".join(line + "\n" for line in found[f"{dist_info}/WHEEL"].splitlines()
                                          if line and not line.startswith("Tag:"))
    return found


def check(wheel):
    name, version, python, abi, platforms = wheel.name.removesuffix(".whl").split("-")
    if (name, version) != (PROJECT["name"], PROJECT["version"]):
        raise Unsound(f"is not {PROJECT['name']} {PROJECT['version']}")
    tags = platforms.split(".")
    platform, spec = platform_of(tags)
    dist_info = f"{name}-{version}.dist-info"
    with zipfile.ZipFile(wheel) as archive:
        check_record(archive, dist_info)
        if archive.read("zendrik-stubs/__init__.pyi") != STUBS:
            raise Unsound("its stubs are not the repository's")
        # Read as installers read it: headers up to the first blank line.
        wheel_tags = set(email.parser.Parser().parsestr(archive.read(f"{dist_info}/WHEEL").decode())
                         .get_all("Tag", []))
        if wheel_tags != {f"{python}-{abi}-{tag}" for tag in tags}:
            raise Unsound(f"WHEEL's tags {sorted(wheel_tags)} are not its name's")
        modules = [n for n in archive.namelist() if n.startswith("zendrik.") and n.endswith((".so", ".pyd"))]
        if len(modules) != 1:
            raise Unsound(f"has modules {modules}, not one")
        module = archive.read(modules[0])
        exports = check_pe(module) if platform.startswith("windows") else check_elf(module, tags, spec)
        if exports != EXPORTS:
            raise Unsound(f"exports {exports}, not {EXPORTS}")
        return platform, metadata(archive, dist_info)


def main(wheels):
    if not wheels:
        sys.exit("no wheel to check")
    failed, seen = [], {}
    for wheel in map(pathlib.Path, wheels):
        try:
            platform, found = check(wheel)
        except Unsound as fault:
            failed.append(f"{wheel.name} {fault}")
            continue
        for other, other_found in seen.items():
            differ = sorted(key for key in found.keys() | other_found.keys()
                            if found.get(key) != other_found.get(key))
            if differ:
                failed.append(f"{wheel.name}: its metadata is not {other}'s: {differ}")
                break
        seen[wheel.name] = found
        print(f"ok: {wheel.name} ({platform})")
    if failed:
        sys.exit("\n".join(failed))
    print(f"{len(seen)} wheels checked: tags, imports, exports, RECORD, stubs; one metadata")


if __name__ == "__main__":
    main(sys.argv[1:])
