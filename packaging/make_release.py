#!/usr/bin/env python3
"""The Windows release archives, made the same way from the same commit.

  make_release.py source-date <source dir> <date file>
      Writes the time every archive entry carries: $SOURCE_DATE_EPOCH when set,
      else the time of the checkout's last commit, else 1980-01-01 (the
      earliest a zip can hold).  The file is rewritten only when the time
      changes, so a commit that touches nothing else still re-dates the
      archives and an unchanged tree does not rebuild them.

  make_release.py archives <cmake> <build dir> <release dir> <name> <date file> [<runtime>]
      `cmake --install --strip` of the build into <release dir>/<name>, which
      leaves each DLL stripped and its debug information in <dll>.debug beside
      it; the .debug files move to <release dir>/<name>-debug/<name>, so that
      the second archive unpacks them beside the DLLs.  Then <name>.zip,
      <name>-debug.zip, with <runtime> (a staging folder of the LuaJIT
      runtime, cmake/Runtime.cmake) <name>-runtime.zip of its files under the
      same top folder, and SHA256SUMS (the format `sha256sum -c` reads).

The zips depend on nothing but the files' contents: entries sorted by path,
every entry dated from the date file, modes 0644 or 0755, no owner, no
extra fields.
"""

import hashlib
import os
import shutil
import subprocess
import sys
import time
import zipfile

DOS_EPOCH = 315532800  # 1980-01-01T00:00:00Z


def source_date(source_dir):
    env = os.environ.get("SOURCE_DATE_EPOCH")
    if env:
        return int(env)
    try:
        out = subprocess.run(["git", "-C", source_dir, "log", "-1", "--format=%ct"],
                             capture_output=True, text=True, check=True).stdout.strip()
        return int(out)
    except (OSError, subprocess.CalledProcessError, ValueError):
        return DOS_EPOCH


def write_source_date(source_dir, date_file):
    text = "%d\n" % source_date(source_dir)
    try:
        with open(date_file) as f:
            if f.read() == text:
                return
    except FileNotFoundError:
        pass
    os.makedirs(os.path.dirname(date_file) or ".", exist_ok=True)
    with open(date_file, "w") as f:
        f.write(text)


def files_under(root):
    """Paths of the files under root, relative to it with '/', sorted."""
    found = []
    for dirpath, _, filenames in os.walk(root):
        for name in filenames:
            found.append(os.path.relpath(os.path.join(dirpath, name), root).replace(os.sep, "/"))
    return sorted(found)


def write_zip(path, root, prefix, epoch):
    """Zips every file under root as prefix/<relative path>."""
    stamp = time.gmtime(max(epoch, DOS_EPOCH))[:6]
    tmp = path + ".tmp"
    with zipfile.ZipFile(tmp, "w") as z:
        for rel in files_under(root):
            full = os.path.join(root, rel)
            info = zipfile.ZipInfo(prefix + "/" + rel, date_time=stamp)
            info.create_system = 3  # Unix, so that the mode below is read
            mode = 0o755 if os.stat(full).st_mode & 0o100 else 0o644
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(full, "rb") as f:
                z.writestr(info, f.read(), compresslevel=9)
    os.replace(tmp, path)


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def make_archives(cmake, build_dir, release_dir, name, date_file, runtime=None):
    with open(date_file) as f:
        epoch = int(f.read())
    stage = os.path.join(release_dir, name)
    debug_stage = os.path.join(release_dir, name + "-debug")
    for d in (stage, debug_stage):
        shutil.rmtree(d, ignore_errors=True)
    install = subprocess.run([cmake, "--install", build_dir, "--prefix", stage, "--strip"],
                             capture_output=True, text=True)
    if install.returncode != 0:
        sys.stderr.write(install.stdout + install.stderr)
        sys.exit("cmake --install --strip failed")

    debug_files = [rel for rel in files_under(stage) if rel.endswith(".debug")]
    if not debug_files:
        sys.exit("the install left no .debug files: nothing was stripped")
    for rel in debug_files:
        target = os.path.join(debug_stage, name, rel)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.move(os.path.join(stage, rel), target)

    archives = [name + ".zip", name + "-debug.zip"]
    write_zip(os.path.join(release_dir, archives[0]), stage, name, epoch)
    write_zip(os.path.join(release_dir, archives[1]), os.path.join(debug_stage, name), name, epoch)
    if runtime:
        archives.append(name + "-runtime.zip")
        write_zip(os.path.join(release_dir, archives[2]), runtime, name, epoch)
    with open(os.path.join(release_dir, "SHA256SUMS"), "w", newline="\n") as f:
        for archive in archives:
            f.write("%s  %s\n" % (sha256(os.path.join(release_dir, archive)), archive))


def main(argv):
    if len(argv) == 4 and argv[1] == "source-date":
        write_source_date(argv[2], argv[3])
    elif len(argv) in (7, 8) and argv[1] == "archives":
        make_archives(*argv[2:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
