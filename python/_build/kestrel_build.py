"""A minimal build backend for the kestrel package, standard library only.

pip calls it (``pip install ./python``) to turn the source folder into a wheel.
It exists so that the package installs offline on any Python 3.8+ with pip,
whether or not setuptools and wheel are installed. It reads the ``[project]``
table of pyproject.toml and packs the ``kestrel`` folder as a pure-Python
wheel; it also builds source archives and editable installs
(``pip install -e ./python``).
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import tarfile
import time
import zipfile
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = "kestrel"
# Reproducible archives: a fixed time unless SOURCE_DATE_EPOCH says otherwise.
_EPOCH = max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800)


def _project() -> Dict[str, Any]:
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    try:
        import tomllib  # Python 3.11+
    except ImportError:
        return _simple_project_table(text)
    return tomllib.loads(text)["project"]


def _simple_project_table(text: str) -> Dict[str, Any]:
    """The plain ``key = "value"`` and string-list entries of [project], enough
    for this package's pyproject.toml on Pythons without tomllib."""
    project: Dict[str, Any] = {}
    section = None
    pending: Optional[Tuple[str, List[str]]] = None
    for raw in text.splitlines():
        line = raw.split("#", 1)[0].strip() if '"' not in raw else raw.strip()
        if pending is not None:
            if line.startswith("]"):
                project[pending[0]] = pending[1]
                pending = None
            else:
                pending[1].extend(re.findall(r'"([^"]*)"', line))
            continue
        if line.startswith("["):
            section = line.strip("[]").strip()
            continue
        if section != "project" or "=" not in line:
            continue
        key, value = (part.strip() for part in line.split("=", 1))
        if value.startswith('"'):
            project[key] = value.strip('"')
        elif value.startswith("["):
            items = re.findall(r'"([^"]*)"', value)
            if value.endswith("]"):
                project[key] = items
            else:
                pending = (key, items)
    return project


def _names() -> Tuple[str, str, str]:
    project = _project()
    name = re.sub(r"[-_.]+", "_", project["name"]).lower()
    version = project["version"]
    return name, version, f"{name}-{version}.dist-info"


def _metadata() -> str:
    project = _project()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
    ]
    if "description" in project:
        lines.append(f"Summary: {project['description']}")
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    body = ""
    readme = project.get("readme")
    if isinstance(readme, str) and (ROOT / readme).is_file():
        lines.append("Description-Content-Type: text/markdown")
        body = "\n" + (ROOT / readme).read_text(encoding="utf-8")
    return "\n".join(lines) + "\n" + body


def _package_files() -> List[Path]:
    files = []
    for path in sorted((ROOT / PACKAGE).rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts and path.suffix not in (".pyc", ".pyo"):
            files.append(path)
    return files


class _Wheel:
    def __init__(self, path: Path) -> None:
        self._zip = zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED)
        self._records: List[str] = []

    def add(self, name: str, data: bytes) -> None:
        info = zipfile.ZipInfo(name, date_time=time.gmtime(_EPOCH)[:6])
        info.external_attr = 0o644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self._zip.writestr(info, data)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        self._records.append(f"{name},sha256={digest},{len(data)}")

    def close(self, dist_info: str) -> None:
        record = f"{dist_info}/RECORD"
        text = "\n".join(self._records + [f"{record},,"]) + "\n"
        info = zipfile.ZipInfo(record, date_time=time.gmtime(_EPOCH)[:6])
        info.external_attr = 0o644 << 16
        self._zip.writestr(info, text.encode())
        self._zip.close()


_WHEEL_FILE = "Wheel-Version: 1.0\nGenerator: kestrel_build\nRoot-Is-Purelib: true\nTag: py3-none-any\n"


def _build(wheel_directory: str, editable: bool) -> str:
    name, version, dist_info = _names()
    filename = f"{name}-{version}-py3-none-any.whl"
    wheel = _Wheel(Path(wheel_directory) / filename)
    if editable:
        # The installed .pth puts this source folder on sys.path.
        wheel.add(f"__editable__.{name}.pth", (str(ROOT) + "\n").encode())
    else:
        for path in _package_files():
            wheel.add(path.relative_to(ROOT).as_posix(), path.read_bytes())
    wheel.add(f"{dist_info}/METADATA", _metadata().encode("utf-8"))
    wheel.add(f"{dist_info}/WHEEL", _WHEEL_FILE.encode())
    wheel.close(dist_info)
    return filename


# ---- PEP 517 / PEP 660 hooks ------------------------------------------------------


def get_requires_for_build_wheel(config_settings: Optional[Dict[str, Any]] = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: Optional[Dict[str, Any]] = None) -> List[str]:
    return []


def get_requires_for_build_editable(config_settings: Optional[Dict[str, Any]] = None) -> List[str]:
    return []


def prepare_metadata_for_build_wheel(
    metadata_directory: str, config_settings: Optional[Dict[str, Any]] = None
) -> str:
    _, _, dist_info = _names()
    folder = Path(metadata_directory) / dist_info
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "METADATA").write_text(_metadata(), encoding="utf-8")
    (folder / "WHEEL").write_text(_WHEEL_FILE, encoding="utf-8")
    return dist_info


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def build_wheel(
    wheel_directory: str,
    config_settings: Optional[Dict[str, Any]] = None,
    metadata_directory: Optional[str] = None,
) -> str:
    return _build(wheel_directory, editable=False)


def build_editable(
    wheel_directory: str,
    config_settings: Optional[Dict[str, Any]] = None,
    metadata_directory: Optional[str] = None,
) -> str:
    return _build(wheel_directory, editable=True)


def build_sdist(sdist_directory: str, config_settings: Optional[Dict[str, Any]] = None) -> str:
    name, version, _ = _names()
    base = f"{name}-{version}"
    filename = f"{base}.tar.gz"
    members = [ROOT / "pyproject.toml", ROOT / "README.md", *sorted((ROOT / "_build").glob("*.py"))]
    members += _package_files()
    with tarfile.open(Path(sdist_directory) / filename, "w:gz", format=tarfile.PAX_FORMAT) as archive:

        def add(arcname: str, data: bytes) -> None:
            info = tarfile.TarInfo(f"{base}/{arcname}")
            info.size = len(data)
            info.mtime = _EPOCH
            info.mode = 0o644
            archive.addfile(info, io.BytesIO(data))

        for path in members:
            if path.is_file():
                add(path.relative_to(ROOT).as_posix(), path.read_bytes())
        add("PKG-INFO", _metadata().encode("utf-8"))
    return filename
