"""Packs one module built elsewhere (cross-built for another platform) into a
wheel, with the stubs and the metadata that the build backend writes for the
native wheels: the backend makes the .dist-info here too, so they are alike.

    python tools/pack_wheel.py MODULE EXT_SUFFIX TAG OUT
    e.g.   ... build/x/zendrik.pyd .cp312-win_amd64.pyd cp312-cp312-win_amd64 dist

Runs in a venv with `build` and the backend (scikit-build-core). Entries carry
SOURCE_DATE_EPOCH's time, so that the same inputs give the same bytes; what the
tag promises is check_wheels.py's to check.
"""
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


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def pack(module, ext_suffix, tag, out):
    with tempfile.TemporaryDirectory() as where:
        # The .dist-info the backend makes for the native wheels, without building.
        dist_info = pathlib.Path(build.ProjectBuilder(ROOT, python_executable=sys.executable).metadata_path(where))
        name = dist_info.name.partition("-")[0]
        files = {f"{name}{ext_suffix}": module.read_bytes(), "zendrik-stubs/__init__.pyi": STUBS.read_bytes()}
        for path in sorted(dist_info.rglob("*")):
            if path.is_file() and path.name != "WHEEL":
                files[f"{dist_info.name}/{path.relative_to(dist_info).as_posix()}"] = path.read_bytes()
        # The backend's WHEEL names it and the tag of the machine it ran on.
        fields = [line for line in (dist_info / "WHEEL").read_text().splitlines() if line and not line.startswith("Tag:")]
        files[f"{dist_info.name}/WHEEL"] = "\n".join(fields + [f"Tag: {tag}", ""]).encode()
    record = f"{dist_info.name}/RECORD"
    files[record] = ("".join(record_line(n, d) for n, d in files.items()) + f"{record},,\n").encode()
    out.mkdir(parents=True, exist_ok=True)
    wheel = out / f"{dist_info.name.removesuffix('.dist-info')}-{tag}.whl"
    stamp = time.gmtime(max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800))[:6]
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for file_name, data in files.items():
            entry = zipfile.ZipInfo(file_name, stamp)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.external_attr = (0o755 if file_name.endswith(ext_suffix) else 0o644) << 16
            archive.writestr(entry, data)
    print(wheel)


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    pack(pathlib.Path(sys.argv[1]), sys.argv[2], sys.argv[3], pathlib.Path(sys.argv[4]))
