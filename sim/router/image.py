#!/usr/bin/env python3
"""Assembles the emulated router from Debian's packages: the armhf `armmp`
kernel (and the few modules the tests need), BusyBox as the userland (its
ash is /bin/sh, its ifconfig, grep and syslogd are the router's), the cross
toolchain's armhf glibc, musl's C library and loader (for the daemon built
against musl), and net-tools' netstat (the router's netstat has
-p; Debian's BusyBox netstat has not).

BusyBox is Debian's `busybox`, linked against that glibc. Its sibling
`busybox-static` is built as a standalone shell: its ash runs its own
applets before anything on PATH, so its netstat (without -p) would stand
in front of net-tools' for the daemon's queries.

    image.py BUILD_ARM_DIR

writes BUILD_ARM_DIR/router/vmlinuz and BUILD_ARM_DIR/router/base.cpio.
The base image carries the router's GPIO device as a kernel driver
(driver/tavrin_gpio.c), built here for exactly the kernel the image boots
from that kernel's own headers packages (fetched, unpacked, nothing
installed) and loaded at boot.
Downloaded packages stay in BUILD_ARM_DIR/router/debs: a second run
fetches nothing. The router build of the daemon and its helpers are not in
the base image: each boot adds them (machine.py), so a rebuild needs no new
image. Exits 77 when this machine cannot emulate the router.
"""
import glob
import os
import shutil
import stat
import subprocess
import sys
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
SYSROOT = "/usr/arm-linux-gnueabihf"
TRIPLE = "arm-linux-gnueabihf"

# Modules the router needs that Debian's armmp kernel builds as modules:
# the virtio transport and serial port (the harness's line), veth pairs
# and tun devices for the tests' interfaces. Their own dependencies follow.
MODULES = ["virtio_mmio", "virtio_console", "veth", "tun"]

# BusyBox; net-tools for netstat, and what netstat links against; musl's
# C library and loader, for the daemon built against a router's musl.
PACKAGES = ["busybox", "net-tools", "libselinux1", "libpcre2-8-0", "musl"]
MUSL_TRIPLE = "arm-linux-musleabihf"

# The real programs modes 11 to 14 ask, and their counterparts: a second
# archive, added only to the machines of the scenarios that run them. The
# libraries they link against follow from their ELF files (see peer_image).
PEER_PACKAGES = ["strongswan-charon", "strongswan-starter", "strongswan-swanctl", "strongswan-libcharon",
                 "libstrongswan", "libcharon-extra-plugins", "openvpn", "openssl", "hostapd", "wpasupplicant"]
# What of those packages the router does not need.
PEER_SKIP = ("usr/share/", "lib/systemd/", "usr/lib/systemd/", "etc/init.d/", "etc/apparmor.d/")

GLIBC = ["ld-linux-armhf.so.3", "libc.so.6", "libm.so.6", "libresolv.so.2", "libdl.so.2", "libpthread.so.0",
         "librt.so.1", "libnss_files.so.2", "libnss_dns.so.2", "libgcc_s.so.1", "libstdc++.so.6"]


class Unavailable(Exception):
    """This machine cannot build the image (and says why)."""


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw).stdout


def kernel_package():
    """The armmp kernel package the archive offers now."""
    depends = run(["apt-cache", "depends", "linux-image-armmp:armhf"])
    for line in depends.splitlines():
        line = line.strip()
        if line.startswith("Depends: linux-image-") and line.endswith("-armmp:armhf"):
            return line.split()[1].split(":")[0]
    raise Unavailable("no armhf armmp kernel in the package archive (dpkg --add-architecture armhf?)")


def download(debs, request, pattern):
    """The cached package file matching `pattern`, after `apt-get download
    request` when there is none yet."""
    cached = glob.glob(os.path.join(debs, pattern))
    if not cached:
        try:
            run(["apt-get", "download", request], cwd=debs)
        except subprocess.CalledProcessError as e:
            raise Unavailable(f"cannot download {request}: {e.stderr.strip()}")
        cached = glob.glob(os.path.join(debs, pattern))
    return sorted(cached)[-1]


def fetch(debs, names):
    """Downloads the armhf packages not cached yet, all in one request (each
    apt-get reads the whole package index first); returns their files."""
    patterns = {name: f"{name}_*_armhf.deb" for name in names}
    missing = [name for name, pattern in patterns.items() if not glob.glob(os.path.join(debs, pattern))]
    if missing:
        try:
            run(["apt-get", "download"] + [f"{name}:armhf" for name in missing], cwd=debs)
        except subprocess.CalledProcessError as e:
            raise Unavailable(f"cannot download {', '.join(missing)}: {e.stderr.strip()}")
    return {name: download(debs, f"{name}:armhf", pattern) for name, pattern in patterns.items()}


def unpack(deb, into):
    if not os.path.isdir(into):
        os.makedirs(into)
        run(["dpkg-deb", "-x", deb, into])
    return into


def module_info(ko):
    data = subprocess.run([f"{TRIPLE}-objcopy", "-O", "binary", "--only-section=.modinfo", ko, "/dev/stdout"],
                          check=True, capture_output=True).stdout
    return dict(field.split("=", 1) for field in data.decode(errors="replace").split("\0") if "=" in field)


def modules_in_load_order(tree, wanted):
    """Each module after the modules it depends on (taken from its .modinfo:
    the package ships no modules.dep)."""
    paths = {os.path.basename(p)[:-3].replace("-", "_"): p
             for p in glob.glob(os.path.join(tree, "lib", "modules", "*", "kernel", "**", "*.ko"), recursive=True)}
    order = []

    def visit(name):
        name = name.replace("-", "_")
        if name in order:
            return
        if name not in paths:
            raise Unavailable(f"kernel module {name} not in the kernel package")
        for dep in filter(None, module_info(paths[name]).get("depends", "").split(",")):
            visit(dep)
        order.append(name)

    for name in wanted:
        visit(name)
    return [(name, paths[name]) for name in order]


def copy(src, dest):
    os.makedirs(os.path.dirname(dest), exist_ok=True)
    shutil.copy2(src, dest, follow_symlinks=True)


def fetch_exact(debs, package, version):
    """Downloads `package` (name or name:arch) at exactly `version`, unless
    cached; returns its file."""
    name = package.split(":")[0]
    return download(debs, f"{package}={version}", f"{name}_*{version.split(':')[-1]}_*.deb")


def build_driver(out, debs, kernel, kernel_deb):
    """The router's GPIO driver, built out of tree against the headers of
    `kernel` (linux-image-<release>) at the kernel package's own version:
    the flavour's headers (armhf), the common headers (all) and the host's
    kbuild tools. Returns the stripped module's path."""
    release = kernel[len("linux-image-"):]
    version = run(["dpkg-deb", "-f", kernel_deb, "Version"]).strip()
    series = ".".join(version.split(".")[:2])
    host_arch = run(["dpkg", "--print-architecture"]).strip()
    common = release.rsplit("-", 1)[0] + "-common"
    tree = os.path.join(out, "unpacked", "kernel-headers")
    if not os.path.isdir(tree):
        os.makedirs(tree)
        for package in (f"linux-headers-{release}:armhf", f"linux-headers-{common}",
                        f"linux-kbuild-{series}:{host_arch}"):
            run(["dpkg-deb", "-x", fetch_exact(debs, package, version), tree])
        # The flavour's Makefile includes the common one by its installed
        # path: point it into the unpacked tree.
        makefile = os.path.join(tree, "usr", "src", f"linux-headers-{release}", "Makefile")
        with open(makefile) as f:
            text = f.read()
        with open(makefile, "w") as f:
            f.write(text.replace("include /usr/src/", f"include {tree}/usr/src/"))
    source = os.path.join(out, "driver")
    if os.path.exists(source):
        shutil.rmtree(source)
    shutil.copytree(os.path.join(HERE, "driver"), source)  # kbuild writes beside its source
    env = dict(os.environ)
    for name in ("DEB_BUILD_ARCH", "DEB_HOST_ARCH"):
        env.pop(name, None)
    try:
        subprocess.run(["make", "-C", os.path.join(tree, "usr", "src", f"linux-headers-{release}"), f"M={source}",
                        "ARCH=arm", f"CROSS_COMPILE={TRIPLE}-", "modules"],
                       check=True, capture_output=True, text=True, env=env)
    except subprocess.CalledProcessError as e:
        raise RuntimeError(f"the GPIO driver did not build:\n{e.stdout[-3000:]}{e.stderr[-3000:]}")
    module = os.path.join(source, "tavrin_gpio.ko")
    run([f"{TRIPLE}-strip", "--strip-debug", module])
    return module


def base_tree(root, kernel_tree, packages, driver=None):
    """The base file tree of the router."""
    if os.path.exists(root):
        shutil.rmtree(root)
    for folder in ("bin", "sbin", "usr/bin", "usr/sbin", "usr/libexec", "usr/local/bin", "usr/local/sbin",
                   "lib/modules", f"lib/{TRIPLE}", f"lib/{MUSL_TRIPLE}", "proc", "sys", "dev", "tmp", "run", "var/log", "opt", "etc",
                   "root"):
        os.makedirs(os.path.join(root, folder), exist_ok=True)
    os.symlink("../run", os.path.join(root, "var", "run"))
    copy(os.path.join(packages["busybox"], "bin", "busybox"), os.path.join(root, "bin", "busybox"))
    shutil.copy2(os.path.join(HERE, "init"), os.path.join(root, "init"))
    os.chmod(os.path.join(root, "init"), 0o755)
    for lib in GLIBC:
        copy(os.path.join(SYSROOT, "lib", lib), os.path.join(root, "lib", TRIPLE, lib))
    os.symlink(f"{TRIPLE}/ld-linux-armhf.so.3", os.path.join(root, "lib", "ld-linux-armhf.so.3"))
    # musl's C library is its own loader, at the path its programs name.
    copy(os.path.join(packages["musl"], "lib", MUSL_TRIPLE, "libc.so"), os.path.join(root, "lib", MUSL_TRIPLE, "libc.so"))
    os.symlink(f"{MUSL_TRIPLE}/libc.so", os.path.join(root, "lib", "ld-musl-armhf.so.1"))
    # netstat, and its libraries; net-tools' other programs (its ifconfig
    # above all) stay out: the router's are BusyBox's.
    copy(os.path.join(packages["net-tools"], "bin", "netstat"), os.path.join(root, "usr", "bin", "netstat"))
    for name in ("libselinux1", "libpcre2-8-0"):
        for lib in glob.glob(os.path.join(packages[name], "lib", TRIPLE, "*.so.*")) + \
                glob.glob(os.path.join(packages[name], "usr", "lib", TRIPLE, "*.so.*")):
            copy(lib, os.path.join(root, "lib", TRIPLE, os.path.basename(lib)))
    with open(os.path.join(root, "lib", "modules", "load-order"), "w") as order:
        for name, path in modules_in_load_order(kernel_tree, MODULES):
            copy(path, os.path.join(root, "lib", "modules", name + ".ko"))
            order.write(name + "\n")
        if driver:
            copy(driver, os.path.join(root, "lib", "modules", "tavrin_gpio.ko"))
            order.write("tavrin_gpio\n")
    with open(os.path.join(root, "etc", "passwd"), "w") as f:
        f.write("root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/bin/false\n")
    with open(os.path.join(root, "etc", "group"), "w") as f:
        f.write("root:x:0:\nnogroup:x:65534:\n")


def cpio_entry(out, name, st, data=b""):
    """One entry of a "newc" cpio archive, owned by root."""
    nlink = 2 if stat.S_ISDIR(st.st_mode) else 1
    fields = [0, st.st_mode, 0, 0, nlink, int(st.st_mtime), len(data), 0, 0, 0, 0, len(name) + 1, 0]
    out.write(("070701" + "".join(f"{v:08x}" for v in fields) + name + "\0").encode())
    out.write(b"\0" * (-(110 + len(name) + 1) % 4))
    out.write(data)
    out.write(b"\0" * (-len(data) % 4))


def write_cpio(root, dest):
    """Packs the tree `root` as an initramfs archive. Archives written this
    way can be concatenated: the kernel unpacks one after the other."""
    with open(dest, "wb") as out:
        for folder, dirs, files in os.walk(root):
            dirs.sort()
            for name in sorted(dirs) + sorted(files):
                path = os.path.join(folder, name)
                st = os.lstat(path)
                if stat.S_ISLNK(st.st_mode):
                    data = os.readlink(path).encode()
                elif stat.S_ISREG(st.st_mode):
                    with open(path, "rb") as f:
                        data = f.read()
                else:
                    data = b""
                cpio_entry(out, os.path.relpath(path, root), st, data)
        cpio_entry(out, "TRAILER!!!", os.stat(root))


def elf_needs(path):
    """The shared libraries an ELF file names, or [] for anything else."""
    with open(path, "rb") as f:
        if f.read(4) != b"\x7fELF":
            return []
    dynamic = subprocess.run([f"{TRIPLE}-readelf", "-d", "-W", path], capture_output=True, text=True).stdout
    return [line.split("[")[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line]


def host_package_of(soname):
    """The Debian package that ships `soname` (asked of this machine's own
    copy of it, which has the same package name on every architecture)."""
    out = subprocess.run(["dpkg", "-S", f"*-linux-gnu/{soname}"], capture_output=True, text=True).stdout
    for line in out.splitlines():
        package = line.split(":")[0].split(",")[0].strip()
        if package:
            return package
    raise Unavailable(f"no package known for {soname} (install its package on this machine)")


def merged_usr(rel):
    """Where Debian's merged /usr puts a package's /bin, /sbin or /lib file
    (as on the machine that runs the tests)."""
    top = rel.split("/", 1)[0]
    return "usr/" + rel if top in ("bin", "sbin", "lib") else rel


def copy_tree(src, dest, skip=()):
    for folder, _, files in os.walk(src):
        rel = os.path.relpath(folder, src)
        if rel == "DEBIAN" or any((rel + "/").startswith(prefix) for prefix in skip):
            continue
        for name in files:
            path = os.path.join(folder, name)
            target = os.path.join(dest, merged_usr(os.path.normpath(os.path.join(rel, name))))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if os.path.islink(path):
                if not os.path.lexists(target):
                    os.symlink(os.readlink(path), target)
            else:
                shutil.copy2(path, target)


def peer_image(out, debs, base_root):
    """The peer programs' tree: their packages, then every library their ELF
    files need that the base image lacks, until nothing is missing."""
    root = os.path.join(out, "peers-root")
    if os.path.exists(root):
        shutil.rmtree(root)
    for name, deb in fetch(debs, PEER_PACKAGES).items():
        copy_tree(unpack(deb, os.path.join(out, "unpacked", name)), root, PEER_SKIP)

    def present(soname):
        return any(os.path.lexists(os.path.join(r, d, soname)) for r in (base_root, root)
                   for d in (f"lib/{TRIPLE}", f"usr/lib/{TRIPLE}", "usr/lib/ipsec", "usr/lib/ipsec/plugins"))
    needs = {}  # each file's NEEDED list, read once across the passes
    while True:
        missing = set()
        for folder, _, files in os.walk(root):
            for name in files:
                path = os.path.join(folder, name)
                if os.path.islink(path):
                    continue
                if path not in needs:
                    needs[path] = elf_needs(path)
                missing.update(so for so in needs[path] if not present(so))
        if not missing:
            return root
        for package, deb in fetch(debs, sorted({host_package_of(so) for so in missing})).items():
            tree = unpack(deb, os.path.join(out, "unpacked", package))
            for sub in (f"lib/{TRIPLE}", f"usr/lib/{TRIPLE}"):
                if os.path.isdir(os.path.join(tree, sub)):
                    copy_tree(os.path.join(tree, sub), os.path.join(root, "usr", "lib", TRIPLE))
        still = {so for so in missing if not present(so)}
        if still:
            raise Unavailable(f"libraries not found in their packages: {', '.join(sorted(still))}")


def build(build_arm):
    if shutil.which("qemu-system-arm") is None:
        raise Unavailable("qemu-system-arm is not installed (package qemu-system-arm)")
    if shutil.which(f"{TRIPLE}-objcopy") is None or not os.path.exists(os.path.join(SYSROOT, "lib", "libc.so.6")):
        raise Unavailable("the ARM cross toolchain is not installed (package g++-arm-linux-gnueabihf)")
    out = os.path.join(build_arm, "router")
    debs = os.path.join(out, "debs")
    os.makedirs(debs, exist_ok=True)
    kernels = glob.glob(os.path.join(debs, "linux-image-*-armmp_*_armhf.deb"))
    kernel = os.path.basename(sorted(kernels)[-1]).split("_")[0] if kernels else kernel_package()
    files = fetch(debs, [kernel] + PACKAGES)
    trees = {name: unpack(deb, os.path.join(out, "unpacked", name)) for name, deb in files.items()}
    driver = build_driver(out, debs, kernel, files[kernel])
    root = os.path.join(out, "root")
    base_tree(root, trees[kernel], trees, driver)
    shutil.copy2(glob.glob(os.path.join(trees[kernel], "boot", "vmlinuz-*"))[0], os.path.join(out, "vmlinuz"))
    write_cpio(root, os.path.join(out, "base.cpio"))
    write_cpio(peer_image(out, debs, root), os.path.join(out, "peers.cpio"))
    with open(os.path.join(out, "peers.versions"), "w") as f:
        for deb in sorted(glob.glob(os.path.join(debs, "*.deb"))):
            name, version = os.path.basename(deb).split("_")[:2]
            if name in PEER_PACKAGES:
                f.write(f"{name} {urllib.parse.unquote(version)}\n")
    return out


def main():
    try:
        out = build(os.path.abspath(sys.argv[1]))
    except Unavailable as e:
        if os.environ.get("TAVRIN_REQUIRE_EMULATION") == "1":
            print(f"the emulated router must run here, but cannot be built: {e}")
            return 1
        print(f"skipped: the emulated router cannot be built here: {e}")
        return 77
    print(f"emulated router image in {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
