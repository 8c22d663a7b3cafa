#!/usr/bin/env python3
"""Download and digest benchmarks: the installer's code against curl -o and sha256sum.

usage: download_sha.py <build dir> download|resume|sha256 [megabytes]

download: one file of <megabytes> MiB (default 1024) is served from 127.0.0.1, over HTTPS (a
test certificate authority) and over plain HTTP (sendfile); curl -o and http_download fetch
it to disk in turn from the same server. Peak memory is the client process's largest resident
set (getrusage of the waited-for child); a 64 MiB download is measured too, to show that it
does not grow with the file size.
resume: the same file over HTTPS, with the server hanging up once at a third and once at two
thirds of it; http_download goes on where it stopped each time. Reports the body bytes the
server sent in all (the goal is at most 1.02 times the file) and whether the copy is equal.
sha256: sha256sum and sha256_file_hex of the same file, already in the page cache.
"""
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def timed(args, env=None):
    start = time.monotonic()
    child = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    output = child.stdout.read().decode()
    _, status, usage = os.wait4(child.pid, 0)
    return time.monotonic() - start, usage.ru_maxrss, os.waitstatus_to_exitcode(status), output


def make_file(path, megabytes):
    block = os.urandom(1 << 20)
    with open(path, "wb") as out:
        for i in range(megabytes):
            out.write(block[i % 256:] + block[:i % 256])


def make_certificates(folder):
    quiet = dict(check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=folder)
    with open(os.path.join(folder, "server.ext"), "w") as out:
        out.write("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n")
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    subprocess.run(["openssl", "req", "-x509"] + ec + ["-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
                    "-subj", "/CN=Bench CA", "-addext", "basicConstraints=critical,CA:TRUE"], **quiet)
    subprocess.run(["openssl", "req"] + ec + ["-keyout", "server.key", "-out", "server.csr",
                    "-subj", "/CN=127.0.0.1"], **quiet)
    subprocess.run(["openssl", "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                    "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "server.ext"], **quiet)
    return [os.path.join(folder, n) for n in ("ca.pem", "server.pem", "server.key")]


def start_server(path, cert=None, key=None, extra=()):
    args = [sys.executable, os.path.join(HERE, "file_server.py"), path] + list(extra)
    if cert:
        args += ["--cert", cert, "--key", key]
    server = subprocess.Popen(args, stdout=subprocess.PIPE)
    line = server.stdout.readline().decode().split()
    return server, int(line[1])


def download(build, root, megabytes):
    tool = os.path.join(build, "morvell-bench-catalogue")
    ca, cert, key = make_certificates(root)
    env = dict(os.environ, SSL_CERT_FILE=ca, no_proxy="127.0.0.1", NO_PROXY="127.0.0.1")
    for size in (megabytes, 64):
        source = os.path.join(root, "source-%d.bin" % size)
        make_file(source, size)
        for scheme in ("https", "http"):
            server, port = start_server(source, *((cert, key) if scheme == "https" else ()))
            url = "%s://127.0.0.1:%d/file.bin" % (scheme, port)
            try:
                target = os.path.join(root, "curl.bin")
                c_time, c_rss, c_code, _ = timed(["curl", "-s", "-o", target, "--cacert", ca, url], env)
                ok_curl = c_code == 0 and os.path.getsize(target) == size << 20
                os.remove(target)
                target = os.path.join(root, "morvell.bin")
                m_time, m_rss, m_code, out = timed([tool, "download", url, target], env)
                ok_ours = m_code == 0 and os.path.getsize(target) == size << 20
                os.remove(target)
            finally:
                server.terminate()
                server.wait()
            mib = float(size)
            print("download %5d MiB %-5s  curl -o: %6.2f s %7.1f MiB/s peak %6d KB%s | http_download: %6.2f s "
                  "%7.1f MiB/s peak %6d KB%s | throughput ratio %.2f"
                  % (size, scheme, c_time, mib / c_time, c_rss, "" if ok_curl else " FAILED", m_time,
                     mib / m_time, m_rss, "" if ok_ours else " FAILED (" + out.strip() + ")", c_time / m_time))
        os.remove(source)


def resume(build, root, megabytes):
    tool = os.path.join(build, "morvell-bench-catalogue")
    ca, cert, key = make_certificates(root)
    env = dict(os.environ, SSL_CERT_FILE=ca, no_proxy="127.0.0.1", NO_PROXY="127.0.0.1")
    source = os.path.join(root, "source.bin")
    make_file(source, megabytes)
    size = megabytes << 20
    sent_file = os.path.join(root, "sent")
    cuts = "%d,%d" % (size // 3, 2 * size // 3)
    server, port = start_server(source, cert, key, ["--cut-at", cuts, "--sent", sent_file])
    target = os.path.join(root, "morvell.bin")
    try:
        m_time, m_rss, m_code, out = timed([tool, "download", "https://127.0.0.1:%d/file.bin" % port, target], env)
    finally:
        server.terminate()
        server.wait()
    same = m_code == 0 and subprocess.run(["cmp", "-s", source, target]).returncode == 0
    with open(sent_file) as f:
        sent = int(f.read())
    print("resume   %5d MiB https, cut at %s: http_download %6.2f s (1 + 2 s of waits) peak %d KB | "
          "sent %d bytes = %.4f x the file | copy %s%s"
          % (megabytes, cuts, m_time, m_rss, sent, sent / float(size), "equal" if same else "DIFFERS",
             "" if m_code == 0 else " FAILED (" + out.strip() + ")"))


def sha256(build, root, megabytes):
    tool = os.path.join(build, "morvell-bench-catalogue")
    source = os.path.join(root, "source.bin")
    make_file(source, megabytes)
    subprocess.run(["cat", source], stdout=subprocess.DEVNULL, check=True)   # into the page cache
    s_time, s_rss, _, s_out = timed(["sha256sum", source])
    m_time, m_rss, _, m_out = timed([tool, "sha256", source])
    same = s_out.split()[0] == m_out.split("detail=")[1].strip()
    mib = float(megabytes)
    print("sha256   %5d MiB  sha256sum: %6.2f s %7.1f MiB/s | sha256_file_hex: %6.2f s %7.1f MiB/s peak %d KB | "
          "ratio %.2f | digests %s" % (megabytes, s_time, mib / s_time, m_time, mib / m_time, m_rss,
                                       s_time / m_time, "equal" if same else "DIFFER"))


def main():
    if len(sys.argv) < 3 or sys.argv[2] not in ("download", "resume", "sha256"):
        print(__doc__)
        return 2
    build, what = sys.argv[1], sys.argv[2]
    megabytes = int(sys.argv[3]) if len(sys.argv) > 3 else 1024
    root = tempfile.mkdtemp(prefix="morvell-bench-")
    try:
        {"download": download, "resume": resume, "sha256": sha256}[what](build, root, megabytes)
    finally:
        subprocess.run(["rm", "-rf", root])
    return 0


if __name__ == "__main__":
    sys.exit(main())
