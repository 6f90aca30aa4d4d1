#!/usr/bin/env python3
"""Whole updates from a far server: nginx on 127.0.0.1 behind the loopback
delay proxy of tools/delay_proxy.py, so that round trips, not loopback
bandwidth, decide the time.

Runs the updater (console front end) from start to lobby against curl
fetching the same files through the same proxy, one connection reused
(curl -K) and eight in parallel (curl --parallel), and prints each time and
the updater's ratio to the best peer (above 1: the updater is faster).

    python3 bench/far_server_bench.py --build build [--files 100] [--size 16384] [--rtt 50] [--rounds 3]
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from delay_proxy import DelayProxy  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, deadline=10):
    end = time.time() + deadline
    while time.time() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def start_nginx(root, work):
    port = free_port()
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write("daemon off;\nmaster_process off;\nworker_processes 1;\n"
                f"error_log {work}/error.log;\npid {work}/nginx.pid;\n"
                "events { worker_connections 256; }\nhttp {\n"
                f"  access_log off;\n  client_body_temp_path {work}/body;\n  proxy_temp_path {work}/proxy;\n"
                f"  fastcgi_temp_path {work}/fastcgi;\n  uwsgi_temp_path {work}/uwsgi;\n  scgi_temp_path {work}/scgi;\n"
                "  default_type application/octet-stream;\n  sendfile on;\n"
                f"  server {{\n    listen 127.0.0.1:{port};\n    root {root};\n  }}\n}}\n")
    process = subprocess.Popen([shutil.which("nginx") or "/usr/sbin/nginx", "-p", work, "-c", conf],
                               stderr=subprocess.DEVNULL)
    if not wait_port(port):
        sys.exit("nginx did not start")
    return process, port


def publish(build, work, files, size):
    src = os.path.join(work, "v2")
    os.makedirs(src)
    for i in range(files):
        with open(os.path.join(src, f"f{i:04d}.dat"), "wb") as f:
            f.write(os.urandom(size))
    server = os.path.join(work, "server")
    publisher = os.path.join(build, "bin", "updater-publish")
    subprocess.run([publisher, "release", "--version", "2", "--from", src, "--to", server], check=True,
                   stdout=subprocess.DEVNULL)
    return src, server


def publish_list(build, server, port):
    publisher = os.path.join(build, "bin", "updater-publish")
    subprocess.run([publisher, "versions", "--to", server, "--product", "2", "--max", "2", "--url",
                    f"127.0.0.1:{port}"], check=True, stdout=subprocess.DEVNULL)


def run_updater(build, work, port, src):
    install = tempfile.mkdtemp(dir=work, prefix="install-")
    shutil.copy(os.path.join(build, "bin", "updater"), os.path.join(install, "updater"))
    with open(os.path.join(install, "kelvora.exe"), "w") as f:
        f.write("#!/bin/sh\nexit 0\n")
    os.chmod(os.path.join(install, "kelvora.exe"), 0o755)
    with open(os.path.join(install, "UpdateTemp.ini"), "w") as f:
        f.write(f"[Version]\r\nCurrentVersion=2\r\n[Temp]\r\nTemp1=127.0.0.1:{port}\r\n")
    env = dict(os.environ)
    env.pop("DISPLAY", None)  # the console front end
    start = time.monotonic()
    result = subprocess.run([os.path.join(install, "updater"), "127.0.0.1", "auto"], cwd=install, env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=600)
    took = time.monotonic() - start
    for name in os.listdir(src):
        target = os.path.join(install, name)
        if not os.path.exists(target) or open(os.path.join(src, name), "rb").read() != open(target, "rb").read():
            log = open(os.path.join(install, "UpdateLog.log"), encoding="utf-8", errors="replace").read() \
                if os.path.exists(os.path.join(install, "UpdateLog.log")) else ""
            sys.exit(f"the updater did not install {name}\n{log}\n{result.stderr.decode(errors='replace')[-2000:]}")
    shutil.rmtree(install)
    return took


def run_curl(work, port, names, parallel):
    out = tempfile.mkdtemp(dir=work, prefix="curl-")
    config = os.path.join(out, "urls")
    with open(config, "w") as f:
        for name in names:
            f.write(f'url = "http://127.0.0.1:{port}/update/2/{name}"\noutput = "{out}/{name}"\n')
    args = ["curl", "-s", "--no-progress-meter", "-K", config]
    if parallel:
        args += ["--parallel", "--parallel-max", "8"]
    start = time.monotonic()
    subprocess.run(args, check=True)
    took = time.monotonic() - start
    shutil.rmtree(out)
    return took


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--files", type=int, default=100)
    parser.add_argument("--size", type=int, default=16384)
    parser.add_argument("--rtt", type=float, default=50, help="round trip in ms")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix="far-bench-")
    nginx = None
    try:
        src, server = publish(build, work, args.files, args.size)
        nginx, nginx_port = start_nginx(server, work)
        proxy = DelayProxy(nginx_port, args.rtt / 1000.0).start()
        publish_list(build, server, proxy.port)
        names = sorted(os.listdir(src))
        best = {"updater": 1e9, "curl -K": 1e9, "curl --parallel 8": 1e9}
        for _ in range(args.rounds):
            best["updater"] = min(best["updater"], run_updater(build, work, proxy.port, src))
            best["curl -K"] = min(best["curl -K"], run_curl(work, proxy.port, names, False))
            best["curl --parallel 8"] = min(best["curl --parallel 8"], run_curl(work, proxy.port, names, True))
        print(f"{args.files} files x {args.size} bytes, RTT {args.rtt:g} ms, best of {args.rounds}:")
        for name, took in best.items():
            print(f"  {name:20s} {took:7.2f} s")
        peer = min(best["curl -K"], best["curl --parallel 8"])
        print(f"  best peer / updater  {peer / best['updater']:7.2f}")
    finally:
        if nginx:
            nginx.terminate()
            nginx.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
