#!/usr/bin/env python3
"""Writes plugin packages that no ordinary tree can produce (device nodes,
set-user-ID files, hostile links), without needing root.

packagefixtures.py DIR             every fixture of the package tests into DIR
packagefixtures.py DIR --members N only DIR/members-N.tar.gz: N empty files
"""
import io
import sys
import tarfile


def member(name, kind=tarfile.REGTYPE, mode=0o644, data=b"", link="", size=None):
    info = tarfile.TarInfo(name)
    info.type, info.mode, info.linkname = kind, mode, link
    if kind == tarfile.CHRTYPE:
        info.devmajor, info.devminor = 1, 3
    info.size = len(data) if size is None else size
    return info, data


def write(path, members, mode="w"):
    with tarfile.open(path, mode, format=tarfile.GNU_FORMAT) as tar:
        for info, data in members:
            tar.addfile(info, io.BytesIO(data) if info.isreg() else None)


class Zeros(io.RawIOBase):
    """An endless supply of zero bytes, for a member larger than memory."""

    def readable(self):
        return True

    def readinto(self, buffer):
        buffer[:] = bytes(len(buffer))
        return len(buffer)


def fixtures(out):
    d, sym = tarfile.DIRTYPE, tarfile.SYMTYPE
    # 3 MiB of zeros in a few KiB.
    with tarfile.open(out + "/bomb.tar.gz", "w:gz") as tar:
        tar.addfile(member("big", size=3 << 20)[0], io.BufferedReader(Zeros()))
    write(out + "/members.tar", [member("f%d" % i) for i in range(30)])
    write(out + "/device.tar", [member("null", tarfile.CHRTYPE)])
    write(out + "/fifo.tar", [member("pipe", tarfile.FIFOTYPE)])
    write(out + "/hardlink.tar", [member("a", data=b"a"), member("b", tarfile.LNKTYPE, link="a")])
    write(out + "/absolute.tar", [member("etc", sym, link="/etc")])
    # Each link alone stays inside; followed through "a" the second climbs out.
    write(out + "/chain.tar", [member("a", sym, link="."), member("b", sym, link="a/../..")])
    write(out + "/below.tar", [member("sub", d, 0o755), member("d", sym, link="sub"),
                               member("d/x", data=b"x")])
    write(out + "/modes.tar", [
        member("./", d, 0o777),
        member("bin", d, 0o1777),
        member("bin/tool", mode=0o6777, data=b"#!/bin/sh\n"),
        member("data", mode=0o666, data=b"d"),
        member("lib", d, 0o755),
        member("lib/run", mode=0o755, data=b"r"),
        member("bin/run", sym, link="../lib/run"),
    ])


def main():
    out = sys.argv[1]
    if len(sys.argv) > 3 and sys.argv[2] == "--members":
        count = int(sys.argv[3])
        write("%s/members-%d.tar.gz" % (out, count), (member("m/%07d" % i) for i in range(count)), "w:gz")
    else:
        fixtures(out)


if __name__ == "__main__":
    main()
