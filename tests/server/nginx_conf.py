"""nginx as the tests, the demo and the bench run it: in the foreground, with
every file it writes in a work folder of its own, serving one folder.

Started as root, nginx runs its workers as an unprivileged user, who cannot
enter a checkout below a folder only its owner may enter (a 0700 home or
mktemp -d). The workers then stay with the user who started it; this nginx
only ever listens on 127.0.0.1."""
import os


def nginx_command(work, http):
    """Writes work/nginx.conf around the given http block's contents and
    returns the command that runs it."""
    conf = os.path.join(work, "nginx.conf")
    user = "user root;" if os.geteuid() == 0 else ""
    with open(conf, "w") as out:
        out.write(f"""
daemon off;
worker_processes 1;
{user}
pid {work}/nginx.pid;
error_log {work}/error.log;
events {{ worker_connections 64; }}
http {{
  client_body_temp_path {work}/body;
  proxy_temp_path {work}/proxy;
  fastcgi_temp_path {work}/fastcgi;
  uwsgi_temp_path {work}/uwsgi;
  scgi_temp_path {work}/scgi;
  default_type application/octet-stream;
{http}
}}
""")
    # -e: an unprivileged user cannot open the default log before the
    # configuration is read.
    return ["nginx", "-e", os.path.join(work, "error.log"), "-c", conf, "-p", work]
