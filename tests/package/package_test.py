#!/usr/bin/env python3
"""The Debian packages, checked by Debian's own tools, installed, loaded by
real hosts from where they are installed, and removed again.

Run as root (or with sudo), on the display in $DISPLAY, with the packages that
scripts/package.sh made (the stand-in page build) and the main build's test
programs:

  package_test.py --build-dir build --packages build-package/packages/*.deb

Prints, as a benchmark, each package's installed size and the time from
starting /usr/bin/lutewyrm-rpg and the build's own standalone binary to their
page being shown; nothing is asserted on those figures.
"""
import argparse
import glob
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import x11  # noqa: E402

PACKAGES = ["lutewyrm-rpg", "lutewyrm-rpg-standalone", "lutewyrm-rpg-vst3", "lutewyrm-rpg-lv2"]
PAGE_PORT = 47631
# Libraries the binaries name but can do without: the screen saver's (JUCE
# skips inhibiting it) and the older WebKitGTK API, tried only when 4.1 is absent.
OPTIONAL_LIBRARIES = {"libXss.so.1", "libwebkit2gtk-4.0.so.37", "libjavascriptcoregtk-4.0.so.18", "libsoup-2.4.so.1"}
# C library functions that _FORTIFY_SOURCE replaces with checked versions.
FORTIFIABLE = {"memcpy", "memmove", "memset", "strcpy", "stpcpy", "strncpy", "strcat", "strncat",
               "sprintf", "snprintf", "vsprintf", "vsnprintf", "read", "pread", "recv", "recvfrom",
               "fgets", "getcwd", "realpath", "readlink", "wcscpy", "mbstowcs", "wcstombs"}
SUDO = [] if os.geteuid() == 0 else ["sudo", "-n"]


def run(*command, **kwargs):
    kwargs.setdefault("check", True)
    return subprocess.run(list(command), **kwargs)


def output(*command, **kwargs):
    return run(*command, capture_output=True, text=True, **kwargs).stdout


def step(text):
    print(f"\n== {text}", flush=True)


#===============================================================================
# What the packages hold, before anything is installed.

def check_with_debian_tools(debs, work):
    step("lintian (errors and warnings fail)")
    result = run("lintian", "--fail-on", "error,warning", "--display-info", *debs,
                 capture_output=True, text=True, check=False)
    print(result.stdout + result.stderr)
    assert result.returncode == 0, "lintian found errors or warnings"

    standalone = next(d for d in debs if os.path.basename(d).startswith("lutewyrm-rpg-standalone_"))
    root = os.path.join(work, "standalone")
    run("dpkg-deb", "-x", standalone, root)
    desktop = glob.glob(os.path.join(root, "usr/share/applications/*.desktop"))
    metainfo = glob.glob(os.path.join(root, "usr/share/metainfo/*.metainfo.xml"))
    assert len(desktop) == 1 and len(metainfo) == 1, (desktop, metainfo)

    step("desktop-file-validate")
    result = run("desktop-file-validate", desktop[0], capture_output=True, text=True, check=False)
    print(result.stdout + result.stderr or "valid")
    assert result.returncode == 0 and not result.stdout.strip(), "the desktop file does not validate cleanly"

    step("appstreamcli validate --no-net")
    result = run("appstreamcli", "validate", "--no-net", "--pedantic", metainfo[0],
                 capture_output=True, text=True, check=False)
    print(result.stdout + result.stderr)
    assert result.returncode == 0, "the metainfo does not validate"


def elf_files(root):
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                if f.read(4) == b"\x7fELF":
                    yield path


def check_binaries(debs, work):
    """Stripped, and built with the hardening flags: relro, bind-now, the
    stack protector and the fortified functions."""
    step("binaries: stripped and hardened")
    for deb in debs:
        root = os.path.join(work, "binaries", os.path.basename(deb))
        os.makedirs(root)
        run("dpkg-deb", "-x", deb, root)
        for path in elf_files(root):
            name = os.path.relpath(path, root)
            sections = output("readelf", "-W", "--section-headers", path)
            headers = output("readelf", "-W", "--program-headers", "--dynamic", path)
            symbols = output("readelf", "-W", "--dyn-syms", path)
            problems = []
            if ".symtab" in sections:
                problems.append("not stripped")
            if "GNU_RELRO" not in headers:
                problems.append("no relro")
            if not re.search(r"\(FLAGS\)\s.*BIND_NOW|\(FLAGS_1\)\s.*NOW", headers):
                problems.append("no bind-now")
            # The web view's helper is a few lines with no buffer on its
            # stack: it is built with the flag but has nothing to protect.
            if "__stack_chk_fail" not in symbols and not name.endswith("juce_linux_subprocess_helper"):
                problems.append("no stack protector")
            # As lintian judges it: fortifiable functions called, none checked.
            imported = set(re.findall(r"\bUND\s+(\w+)", symbols))
            if imported & FORTIFIABLE and not any(re.fullmatch(r"__\w+_chk", s) and s != "__stack_chk_fail"
                                                  for s in imported):
                problems.append("no fortified functions")
            print(f"{name}: {', '.join(problems) or 'stripped, relro, bind-now, stack protector, fortified'}")
            assert not problems, f"{name}: {problems}"


def installed_dependencies():
    """Every installed package's dependencies (all alternatives), by name."""
    table = {}
    for line in output("dpkg-query", "-W", "-f=${Package}\t${Depends}, ${Pre-Depends}\n").splitlines():
        package, _, depends = line.partition("\t")
        table[package] = {re.sub(r"[\s(:].*", "", d.strip()) for d in re.split(r"[,|]", depends) if d.strip()}
    return table


def owning_package(library):
    """The package holding a library file, as ldconfig names it. With /lib
    merged into /usr/lib, dpkg knows a file under either name, and the
    library's name is often a link to the file the package holds."""
    real = os.path.basename(os.path.realpath(library))
    folder = os.path.dirname(library)
    for candidate in (library, os.path.join(folder, real)):
        for path in (candidate, candidate.removeprefix("/usr"), "/usr" + candidate):
            result = run("dpkg-query", "-S", path, capture_output=True, text=True, check=False)
            if result.returncode == 0:
                return result.stdout.split(":")[0]
    raise AssertionError(f"no package holds {library}")


def check_runtime_dependencies(debs, work):
    """Each library a binary names, linked or opened by name at run time
    (JUCE opens WebKitGTK, GTK and the X11 libraries itself), comes from a
    package the package depends on, directly or through those. Only here does
    a dependency dpkg-shlibdeps cannot see show."""
    step("libraries the binaries name are in the packages' dependencies")
    table = installed_dependencies()
    where = dict(re.findall(r"^\s*(\S+) \(libc6,x86-64[^)]*\) => (\S+)$", output("ldconfig", "-p"), re.M))
    for deb in debs:
        fields = output("dpkg-deb", "-f", deb, "Depends", "Architecture")
        if "Architecture: all" in fields:
            continue
        closure, todo = set(), [re.sub(r"[\s(:].*", "", d.strip())
                                for d in re.split(r"[,|]", fields.split("Depends:", 1)[1].split("\n")[0]) if d.strip()]
        while todo:
            package = todo.pop()
            if package not in closure:
                closure.add(package)
                todo.extend(table.get(package, ()))
        root = os.path.join(work, "binaries", os.path.basename(deb))
        for path in elf_files(root):
            strings = output("strings", "-n", "6", path).splitlines()
            for name in sorted({s for s in strings if re.fullmatch(r"lib[\w.+-]+\.so\.[0-9.]+", s)}):
                if name in OPTIONAL_LIBRARIES:
                    continue
                assert name in where, f"{os.path.basename(path)} names {name}, which this system does not have"
                owner = owning_package(where[name])
                assert owner in closure, f"{os.path.basename(deb)}: {name} comes from {owner}, not a dependency"
        print(f"{os.path.basename(deb)}: every library named is in its dependencies")


#===============================================================================
# Installed.

def install(debs):
    step("apt-get install " + " ".join(os.path.basename(d) for d in debs))
    run(*SUDO, "env", "DEBIAN_FRONTEND=noninteractive", "apt-get", "install", "-y", "-qq",
        "--no-install-recommends", *[os.path.abspath(d) for d in debs], stdout=subprocess.DEVNULL)
    files = {}
    for package in PACKAGES:
        files[package] = output("dpkg-query", "-L", package).split("\n")
        size = output("dpkg-query", "-W", "-f=${Installed-Size}", package)
        print(f"installed: {package}, {size} KiB")
    return files


def remove(files):
    step("apt-get purge")
    run(*SUDO, "env", "DEBIAN_FRONTEND=noninteractive", "apt-get", "purge", "-y", "-qq", *PACKAGES,
        stdout=subprocess.DEVNULL)
    # Every file of ours is gone, and every folder only ours held (the
    # bundles, the doc folders); shared folders such as /usr/share/icons stay.
    left = []
    for package, paths in files.items():
        for path in filter(None, paths):
            if os.path.lexists(path) and (not os.path.isdir(path) or "Lutewyrm RPG." in path
                                          or path.startswith("/usr/share/doc/lutewyrm-rpg")):
                left.append(path)
    assert not left, "left after removal: " + ", ".join(left)
    print("removed: no file of the packages is left")


def time_to_page(binary, shot, home):
    """Seconds from starting the standalone binary to its page being painted."""
    env = dict(os.environ, HOME=home)
    started = time.monotonic()
    app = subprocess.Popen([binary], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        assert x11.find_windows("Lutewyrm RPG"), f"{binary}: no window"
        colours = x11.wait_for_painted_page(shot)
        elapsed = time.monotonic() - started
        assert colours >= 200, f"{binary}: the page is not showing ({colours} colours in {shot})"
        return elapsed
    finally:
        for window in x11.find_windows("Lutewyrm RPG", timeout=1):
            if x11.window_pid(window) == app.pid:
                x11.request_close(window)
        try:
            app.wait(timeout=30)
        except subprocess.TimeoutExpired:
            app.kill()
            app.wait()


def check_standalone(build_standalone, work):
    step("the installed standalone shows the stand-in page")
    server = subprocess.Popen([sys.executable, os.path.join(REPO, "scripts", "serve_page.py"), str(PAGE_PORT)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        x11.prepare_display()
        figures = []
        for label, binary in (("/usr/bin/lutewyrm-rpg", "/usr/bin/lutewyrm-rpg"), ("build tree", build_standalone)):
            home = tempfile.mkdtemp(prefix="home-", dir=work)
            shot = os.path.join(work, "standalone-" + ("installed" if binary.startswith("/usr") else "build") + ".png")
            figures.append((label, time_to_page(binary, shot, home)))
            print(f"{label}: page shown, screenshot {shot}")
        print("\nbenchmark: start to page shown")
        for label, seconds in figures:
            print(f"  {label:24} {seconds:6.2f} s")
    finally:
        server.terminate()
        server.wait()


def check_lv2(work):
    step("jalv loads the LV2 plug-in by its URI from /usr/lib/lv2")
    run(sys.executable, os.path.join(REPO, "tests", "e2e", "lv2_jalv_test.py"),
        "--expect-bundle-in", "/usr/lib/lv2", "--port", str(PAGE_PORT),
        "--screenshot", os.path.join(work, "lv2-installed.png"))


def check_vst3(host):
    step("the VST3 host finds the plug-in in /usr/lib/vst3 by scanning the standard folders")
    tests = ["LoadsWithItsIdentity", "MidiComesBackUnchangedAndTheOutputIsSilent",
             "TheWebViewHelperRunsFromTheBundleNotTheTemporaryFolder"]
    run(host, "--gtest_filter=" + ":".join("VST3Host." + t for t in tests),
        env=dict(os.environ, LUTEWYRM_VST3_INSTALLED_IN="/usr/lib/vst3"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True, help="the main build (its standalone and VST3 test host)")
    parser.add_argument("--packages", nargs="+", required=True)
    args = parser.parse_args()

    build = os.path.abspath(args.build_dir)
    build_standalone = glob.glob(os.path.join(build, "app/LutewyrmRPG_artefacts/*/Standalone/Lutewyrm RPG"))[0]
    host = glob.glob(os.path.join(build, "tests/host/lutewyrm_vst3_host_tests_artefacts/*/lutewyrm_vst3_host_tests"))[0]
    debs = sorted(os.path.abspath(d) for d in args.packages)
    assert sorted(re.sub(r"_.*", "", os.path.basename(d)) for d in debs) == sorted(PACKAGES), debs

    with tempfile.TemporaryDirectory(prefix="lutewyrm-packages-") as work:
        check_with_debian_tools(debs, work)
        check_binaries(debs, work)
        check_runtime_dependencies(debs, work)
        for deb in debs:
            print(f"package file: {os.path.basename(deb)}, {os.path.getsize(deb) // 1024} KiB")
        files = install(debs)
        try:
            check_standalone(build_standalone, work)
            check_lv2(work)
            check_vst3(host)
        finally:
            remove(files)
    print("\npackages: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
