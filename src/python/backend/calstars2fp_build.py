"""The build backend of the Python package calstars2fp (PEP 517, named in pyproject.toml).

It drives the project's own CMake build, so the package has no list of sources of its own: it
configures the source tree for the running interpreter with the Python module on and the tests and
the viewer off, builds the module, installs CMake's "python" component (the compiled core, the
Python files, the stub and py.typed) into a staging folder, and packs that folder as a wheel with
the metadata of pyproject.toml's [project] table. The version is the project's one version,
project(VERSION) in CMakeLists.txt.

What it needs: CMake 3.20 or later and Ninja or Make (asked for from the package index when the
machine has none, through get_requires_for_build_wheel), a C++17 compiler, the interpreter's
development files, and pybind11: its CMake files from pybind11's Python package where that is
importable (an isolated build installs it), else wherever CMake finds them (Debian: pybind11-dev).

An editable install (pip install -e ., PEP 660) builds the compiled core in a build folder that
stays (build/editable in the source tree, git-ignored), and installs a .pth file that puts that
folder's python-editable/ on sys.path: it holds the package as links to the source's Python files
and to the built core (CMake's target calstars2fp_python_editable), so that an edit of a Python file
counts at once and a rebuild of the core (cmake --build build/editable --target calstars2fp_python)
at the next start of the interpreter. Nothing is written into the source tree outside build/.

Settings (pip's --config-settings): build-dir=<folder> keeps the CMake build there (default: a
temporary folder, removed afterwards; for an editable install build/editable, which an editable
install builds as it is configured when CMake has configured it already, so that a wheel and an
editable install, or an editable install and the project's own build, share one folder);
cmake-args=<arguments> adds configure arguments. Environment: CMAKE_GENERATOR,
CMAKE_BUILD_PARALLEL_LEVEL as CMake reads them.

Run as a script, it writes the package's .dist-info folder (without RECORD) for CMake's install:
    python calstars2fp_build.py dist-info <folder> [--installer <name>]
"""

import base64
import csv
import hashlib
import io
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
NAME = "calstars2fp"
MINIMUM_CMAKE = (3, 20)


def _read_toml(path):
    try:
        import tomllib
    except ImportError:  # before Python 3.11
        try:
            import tomli as tomllib
        except ImportError:
            import toml  # Debian's python3-toml
            with open(path, encoding="utf-8") as file:
                return toml.load(file)
    with open(path, "rb") as file:
        return tomllib.load(file)


def _project():
    return _read_toml(os.path.join(ROOT, "pyproject.toml"))["project"]


def version():
    """project(VERSION) of CMakeLists.txt: the version of the programs and of the package."""
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as file:
        found = re.search(r"^project\(\s*" + NAME + r"\s+VERSION\s+([0-9.]+)", file.read(), re.MULTILINE)
    if not found:
        raise RuntimeError("CMakeLists.txt holds no project(" + NAME + " VERSION ...)")
    return found.group(1)


def _dist_info_name():
    return f"{NAME}-{version()}.dist-info"


def metadata():
    """The METADATA file (core metadata 2.1) from the [project] table."""
    project = _project()
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}", f"Version: {version()}"]
    if "description" in project:
        lines.append(f"Summary: {project['description']}")
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    if "license" in project and "text" in project["license"]:
        lines.append(f"License: {project['license']['text']}")
    for classifier in project.get("classifiers", []):
        lines.append(f"Classifier: {classifier}")
    for label, url in project.get("urls", {}).items():
        lines.append(f"Project-URL: {label}, {url}")
    for requirement in project.get("dependencies", []):
        lines.append(f"Requires-Dist: {requirement}")
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        for requirement in requirements:
            lines.append(f'Requires-Dist: {requirement}; extra == "{extra}"')
    body = ""
    readme = project.get("readme")
    if isinstance(readme, str):
        lines.append("Description-Content-Type: text/markdown" if readme.endswith(".md") else "Description-Content-Type: text/plain")
        with open(os.path.join(ROOT, readme), encoding="utf-8") as file:
            body = "\n" + file.read()
    return "\n".join(lines) + "\n" + body


def _wheel_tag():
    """interpreter-abi-platform of a wheel that holds a module compiled for the running interpreter."""
    implementation = {"cpython": "cp", "pypy": "pp"}.get(sys.implementation.name, sys.implementation.name)
    interpreter = f"{implementation}{sys.version_info[0]}{sys.version_info[1]}"
    soabi = sysconfig.get_config_var("SOABI") or ""
    if implementation == "cp" and soabi.startswith("cpython-"):
        abi = "cp" + soabi.split("-")[1]
    elif soabi:
        abi = "_".join(soabi.split("-")[:2]).replace(".", "_")
    else:
        abi = "none"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"{interpreter}-{abi}-{platform}"


def _wheel_file():
    return f"Wheel-Version: 1.0\nGenerator: {NAME}_build\nRoot-Is-Purelib: false\nTag: {_wheel_tag()}\n"


def write_dist_info(folder, installer=None, wheel=False):
    """Writes <folder>/<name>-<version>.dist-info with METADATA (and WHEEL, INSTALLER when asked for);
    returns its name."""
    name = _dist_info_name()
    target = os.path.join(folder, name)
    os.makedirs(target, exist_ok=True)
    with open(os.path.join(target, "METADATA"), "w", encoding="utf-8") as file:
        file.write(metadata())
    if wheel:
        with open(os.path.join(target, "WHEEL"), "w", encoding="utf-8") as file:
            file.write(_wheel_file())
    if installer:
        with open(os.path.join(target, "INSTALLER"), "w", encoding="utf-8") as file:
            file.write(installer + "\n")
    return name


def _cmake():
    """The cmake program on PATH when it is recent enough, else None."""
    cmake = shutil.which("cmake")
    if not cmake:
        return None
    try:
        text = subprocess.run([cmake, "--version"], stdout=subprocess.PIPE, check=True, universal_newlines=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    found = re.search(r"version (\d+)\.(\d+)", text)
    return cmake if found and (int(found.group(1)), int(found.group(2))) >= MINIMUM_CMAKE else None


# PEP 517 hooks.

def get_requires_for_build_wheel(config_settings=None):
    """What the build needs from the package index beyond build-system.requires: CMake and Ninja
    only where the machine has none."""
    needed = []
    if not _cmake():
        needed.append("cmake>=%d.%d" % MINIMUM_CMAKE)
    if not shutil.which("ninja") and not shutil.which("make"):
        needed.append("ninja")
    return needed


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    return write_dist_info(metadata_directory, wheel=True)


def _configure_arguments(config_settings):
    arguments = ["-DCMAKE_BUILD_TYPE=Release", "-DCALSTARS2FP_PYTHON=ON", "-DCALSTARS2FP_TESTS=OFF",
                 "-DCALSTARS2FP_VIEWER=OFF", f"-DPython3_EXECUTABLE={sys.executable}",
                 # The package's own folder name in the staging prefix: the wheel's root.
                 "-DCALSTARS2FP_PYTHON_INSTALL_DIR=site"]
    try:
        import pybind11
        arguments.append(f"-Dpybind11_DIR={pybind11.get_cmake_dir()}")
    except ImportError:
        pass  # CMake looks in its usual places (Debian: pybind11-dev)
    if not os.environ.get("CMAKE_GENERATOR") and shutil.which("ninja"):
        arguments += ["-G", "Ninja"]
    arguments += shlex.split((config_settings or {}).get("cmake-args", ""))
    return arguments


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return [path, f"sha256={digest}", str(len(data))]


def _build(build_dir, settings, targets, keep_configuration=False):
    """Configures `build_dir` for the package (with `keep_configuration`, only where CMake has not
    configured it yet), then builds `targets` there; returns the cmake program."""
    cmake = _cmake()
    if not cmake:
        raise RuntimeError("building calstars2fp needs CMake %d.%d or later on PATH" % MINIMUM_CMAKE)
    if not keep_configuration or not os.path.isfile(os.path.join(build_dir, "CMakeCache.txt")):
        subprocess.run([cmake, "-S", ROOT, "-B", build_dir] + _configure_arguments(settings), check=True)
    subprocess.run([cmake, "--build", build_dir, "--target"] + targets, check=True)
    return cmake


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    settings = config_settings or {}
    build_dir = settings.get("build-dir")
    scratch = None
    if not build_dir:
        scratch = tempfile.mkdtemp(prefix="calstars2fp-build-")
        build_dir = scratch
    build_dir = os.path.abspath(build_dir)
    try:
        cmake = _build(build_dir, settings, ["calstars2fp_python", "calstars2fp_python_metadata"])
        staging = os.path.join(build_dir, "wheel-staging")
        shutil.rmtree(staging, ignore_errors=True)
        subprocess.run([cmake, "--install", build_dir, "--component", "python", "--prefix", staging, "--strip"], check=True)
        site = os.path.join(staging, "site")
        # The wheel carries its own metadata (with WHEEL and RECORD) in place of CMake's.
        shutil.rmtree(os.path.join(site, _dist_info_name()), ignore_errors=True)
        write_dist_info(site, wheel=True)
        return _pack_wheel(site, wheel_directory)
    finally:
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)


# PEP 660 hooks: an editable install.

def get_requires_for_build_editable(config_settings=None):
    return get_requires_for_build_wheel(config_settings)


def prepare_metadata_for_build_editable(metadata_directory, config_settings=None):
    return write_dist_info(metadata_directory, wheel=True)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    """A wheel of the metadata and one .pth file naming the build folder's python-editable/."""
    settings = config_settings or {}
    build_dir = os.path.abspath(settings.get("build-dir") or os.path.join(ROOT, "build", "editable"))
    # The wheel's layout needs the package's configuration; the links of an editable install do not,
    # so any configured build of the project serves.
    _build(build_dir, settings, ["calstars2fp_python_editable"], keep_configuration=True)
    package = os.path.join(build_dir, "python-editable")
    core_suffix = sysconfig.get_config_var("EXT_SUFFIX")
    if not any(name.startswith("_core") and name.endswith(core_suffix) for name in os.listdir(os.path.join(package, NAME))):
        raise RuntimeError(f"{build_dir} holds a compiled core for another Python than {sys.executable} (no _core{core_suffix}): "
                           "give another build-dir, or configure that one with -DPython3_EXECUTABLE=" + sys.executable)
    staging = os.path.join(build_dir, "editable-wheel")
    shutil.rmtree(staging, ignore_errors=True)
    os.makedirs(staging)
    with open(os.path.join(staging, f"_{NAME}_editable.pth"), "w", encoding="utf-8") as file:
        file.write(package + "\n")
    write_dist_info(staging, wheel=True)
    return _pack_wheel(staging, wheel_directory)


def _pack_wheel(site, wheel_directory):
    name = f"{NAME}-{version()}-{_wheel_tag()}.whl"
    dist_info = _dist_info_name()
    files = []
    for folder, _, names in os.walk(site):
        for file_name in names:
            path = os.path.join(folder, file_name)
            files.append(os.path.relpath(path, site).replace(os.sep, "/"))
    # The metadata last, as wheels usually have it; RECORD lists every file and then itself.
    files.sort(key=lambda path: (path.startswith(dist_info + "/"), path))
    records = []
    os.makedirs(wheel_directory, exist_ok=True)
    with zipfile.ZipFile(os.path.join(wheel_directory, name), "w", compression=zipfile.ZIP_DEFLATED) as wheel:
        for path in files:
            with open(os.path.join(site, path), "rb") as file:
                data = file.read()
            info = zipfile.ZipInfo(path, date_time=(2000, 1, 1, 0, 0, 0))
            info.external_attr = (0o755 if path.endswith((".so", ".pyd")) else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
            records.append(_record_line(path, data))
        record_path = f"{dist_info}/RECORD"
        text = io.StringIO()
        writer = csv.writer(text, lineterminator="\n")
        writer.writerows(records + [[record_path, "", ""]])
        wheel.writestr(zipfile.ZipInfo(record_path, date_time=(2000, 1, 1, 0, 0, 0)), text.getvalue())
    return name


def _source_files():
    """The files of the source tree: git's list where the tree is a clone, else every file outside
    build folders and version control."""
    try:
        listed = subprocess.run(["git", "-C", ROOT, "ls-files", "-z"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                check=True).stdout
        return [name for name in listed.decode("utf-8", "surrogateescape").split("\0") if name and
                os.path.isfile(os.path.join(ROOT, name))]
    except (OSError, subprocess.CalledProcessError):
        found = []
        for folder, folders, names in os.walk(ROOT):
            folders[:] = [f for f in folders if not f.startswith(("build", ".git"))]
            found += [os.path.relpath(os.path.join(folder, name), ROOT) for name in names]
        return found


def build_sdist(sdist_directory, config_settings=None):
    base = f"{NAME}-{version()}"
    name = base + ".tar.gz"
    os.makedirs(sdist_directory, exist_ok=True)
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz", format=tarfile.PAX_FORMAT) as sdist:
        for path in sorted(_source_files()):
            sdist.add(os.path.join(ROOT, path), arcname=f"{base}/{path}", recursive=False)
        data = metadata().encode("utf-8")
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        info.size = len(data)
        info.mode = 0o644
        sdist.addfile(info, io.BytesIO(data))
    return name


if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] != "dist-info":
        sys.exit("usage: calstars2fp_build.py dist-info <folder> [--installer <name>]")
    installer = sys.argv[sys.argv.index("--installer") + 1] if "--installer" in sys.argv else None
    write_dist_info(sys.argv[2], installer=installer)
