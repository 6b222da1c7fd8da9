"""A private installation of the built collector for a bench: its own
resource store, runtime directory and prefix below a new temporary
directory, made by 'ravlonctl setup', without the start-up pauses."""

import os
import subprocess
import tempfile


def make(build, tag):
    """(root, prefix, env) of a new installation of the build."""
    root = tempfile.mkdtemp(prefix="ravlon-%s-" % tag)
    prefix = os.path.join(root, "inst")
    env = dict(os.environ)
    env.pop("TELVAR_ENV", None)
    env["TELVAR_REGISTRY_ROOT"] = os.path.join(root, "registry")
    env["TELVAR_RUNTIME_DIR"] = os.path.join(root, "run")
    env["RAVLON_START_DELAY"] = "0"
    env["RAVLON_SETTLE_DELAY"] = "0"
    os.makedirs(env["TELVAR_RUNTIME_DIR"])
    subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True, stdout=subprocess.DEVNULL)
    ctl = os.path.join(prefix, "bin", "ravlonctl")
    subprocess.run([ctl, "setup", "--prefix", prefix, "--force"], check=True, env=env, stdout=subprocess.DEVNULL)
    return root, prefix, env
