"""The program run as an ordinary user, as on a real desktop: copies of camera-setup (and the GUI driver) and of
camera-setup-helper in a private temporary directory, the helper copy owned by root, group GROUP, mode 0750,
with the file capabilities of an installed one; the program started through setpriv with a numeric uid/gid and
no inheritable capabilities. Root only (chown, setcap)."""

import os
import shutil
import subprocess
import tempfile

MEMBER = 4242  # uid and gid of the user in the helper's group
OUTSIDER = 4243  # uid and gid of a user outside it
CAPS = "cap_net_raw,cap_net_admin+p"


def helper_beside(binary):
    return os.path.join(os.path.dirname(binary), "camera-setup-helper")


class UserCopy:
    """A private directory with the copies; remove() deletes it. `files` maps a name to the file to copy."""

    def __init__(self, files, helper, group=MEMBER):
        self.dir = tempfile.mkdtemp(prefix="cs-user-")
        os.chmod(self.dir, 0o755)
        self.path = {}
        for name, source in files.items():
            self.path[name] = os.path.join(self.dir, name)
            shutil.copy(source, self.path[name])
            os.chmod(self.path[name], 0o755)
        self.helper = os.path.join(self.dir, "camera-setup-helper")
        shutil.copy(helper, self.helper)
        os.chown(self.helper, 0, group)  # chown first: it drops file capabilities
        os.chmod(self.helper, 0o750)
        subprocess.run(["setcap", CAPS, self.helper], check=True)
        # Directories the user may write to (TMPDIR, XDG_RUNTIME_DIR).
        self.home = os.path.join(self.dir, "home")
        os.mkdir(self.home, 0o700)
        os.chown(self.home, MEMBER, MEMBER)

    def private_dir(self, uid=MEMBER):
        path = tempfile.mkdtemp(dir=self.home if uid == MEMBER else self.dir)
        os.chown(path, uid, uid)
        return path

    def command(self, name, *args, uid=MEMBER, env=()):
        """The argument list that runs copy `name` as uid (its own gid, no supplementary groups, no inheritable
        capabilities) with this directory's helper."""
        return ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", "--inh-caps=-all",
                "env", f"CAMERA_SETUP_HELPER={self.helper}", f"HOME={self.home}", *env, self.path[name], *args]

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)
