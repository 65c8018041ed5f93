#!/usr/bin/env python3
"""Packs one module built elsewhere (cross-built for another platform) into a
wheel, with the stubs and the metadata that the build backend writes for the
native wheels: the backend makes the .dist-info here too, so they are alike.

    pack_wheel.py --module BUILT_FILE --ext-suffix .cp312-win_amd64.pyd \
        --tag cp312-cp312-win_amd64 --out dist

Runs in a venv with `build` and the backend (scikit-build-core). Entries
carry SOURCE_DATE_EPOCH's time, so that the same inputs give the same bytes.
Prints the wheel's path; what the tag promises is check_wheels.py's to check.
"""
import argparse
import base64
import hashlib
import os
import pathlib
import sys
import tempfile
import time
import zipfile

import build

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUBS = ROOT / "stubs" / "zendrik-stubs" / "__init__.pyi"


def backend_dist_info(where):
    """The .dist-info the build backend makes for the native wheels, without building."""
    builder = build.ProjectBuilder(ROOT, python_executable=sys.executable)
    return pathlib.Path(builder.metadata_path(where))


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def pack(module, ext_suffix, tag, out):
    with tempfile.TemporaryDirectory() as where:
        dist_info = backend_dist_info(where)
        name = dist_info.name.partition("-")[0]
        files = {f"{name}{ext_suffix}": module.read_bytes(),
                 "zendrik-stubs/__init__.pyi": STUBS.read_bytes()}
        for path in sorted(dist_info.rglob("*")):
            if path.is_file() and path.name != "WHEEL":
                files[f"{dist_info.name}/{path.relative_to(dist_info).as_posix()}"] = path.read_bytes()
        # The backend's WHEEL names it and the tag of the machine it ran on.
        wheel_fields = [line for line in (dist_info / "WHEEL").read_text().splitlines()
                        if line and not line.startswith("Tag:")]
        files[f"{dist_info.name}/WHEEL"] = "\n".join(wheel_fields + [f"Tag: {tag}", ""]).encode()
    record_name = f"{dist_info.name}/RECORD"
    files[record_name] = ("".join(record_line(n, d) for n, d in files.items()) + f"{record_name},,\n").encode()

    out.mkdir(parents=True, exist_ok=True)
    wheel = out / f"{dist_info.name.removesuffix('.dist-info')}-{tag}.whl"
    stamp = time.gmtime(max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800))[:6]
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for file_name, data in files.items():
            entry = zipfile.ZipInfo(file_name, stamp)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.external_attr = (0o755 if file_name.endswith(ext_suffix) else 0o644) << 16
            archive.writestr(entry, data)
    return wheel


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module", type=pathlib.Path, required=True, help="the built module")
    parser.add_argument("--ext-suffix", required=True,
                        help="the module's file name after 'zendrik', e.g. .cp312-win_amd64.pyd")
    parser.add_argument("--tag", required=True, help="the wheel's tag, e.g. cp312-cp312-win_amd64")
    parser.add_argument("--out", type=pathlib.Path, required=True, help="the folder for the wheel")
    args = parser.parse_args()
    print(pack(args.module, args.ext_suffix, args.tag, args.out))


if __name__ == "__main__":
    main()
