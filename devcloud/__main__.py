"""python3 -m devcloud --data DIR --port 0 [--tls] [--test-hooks] [--demo]"""

import argparse
import os
import signal
import sys
import threading

from . import demo, tlscert
from .server import App, Server
from .store import Store


def main(argv=None):
    parser = argparse.ArgumentParser(prog="devcloud", description="A local stand-in of the Quorva cloud service.")
    parser.add_argument("--data", required=True, help="folder for the database, content and upload sessions")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: a free one)")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (tests in network namespaces of their own; default 127.0.0.1)")
    parser.add_argument("--tls", action="store_true", help="serve HTTPS with a certificate made at start")
    parser.add_argument("--test-hooks", action="store_true", help="serve the /_test/ hooks")
    parser.add_argument("--demo", action="store_true", help="create the demo account when absent and show it")
    parser.add_argument("--verbose", action="store_true", help="log every request on stderr")
    args = parser.parse_args(argv)

    os.makedirs(args.data, exist_ok=True)
    store = Store(args.data)
    context, ca = None, None
    if args.tls:
        ca, cert, key = tlscert.ensure(store.data_dir)
        context = tlscert.server_context(cert, key)
    app = App(store, "https" if args.tls else "http", args.test_hooks, args.verbose)
    server = Server((args.host, args.port), app, context)
    port = server.server_address[1]
    app.local_host = "%s:%d" % (args.host, port)
    url = "%s://%s:%d" % (app.scheme, args.host, port)
    print("devcloud listening on %s" % url, flush=True)
    if ca:
        print("devcloud CA certificate: %s" % ca, flush=True)
    if args.demo:
        demo.ensure(store)
        print("demo account: user %s (or %s), password %s, service %s"
              % (demo.EMAIL, demo.USERNAME, demo.PASSWORD, url), flush=True)

    def stop(signum, frame):
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        app.stopping.set()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
