"""The demo account that `make run` shows a new user."""

from . import accounts, hooks, tree

USERNAME = "demo"
EMAIL = "demo@quorva.test"
PASSWORD = "quorva-demo"
TEAM = "演示团队"
TEAM_FOLDER = "团队资料"
WELCOME = "欢迎使用 Quorva。这个文件来自 devcloud 的演示帐号。\n".encode("utf-8")


def ensure(store):
    """Creates the demo account, its team and a first file when absent."""
    filehash = store.put_bytes(WELCOME)
    with store.tx() as db:
        if accounts.user_by_name(db, USERNAME) is not None:
            return
        user = accounts.create_user(db, USERNAME, PASSWORD, EMAIL)
        org = hooks.ensure_org(db, TEAM)
        user = hooks.join_org(db, org, user, "演示用户")
        tree.commit_file(db, user["mount_id"], "欢迎使用.txt", filehash, len(WELCOME), None, user, "web")
        tree.make_folder(db, org["mount_id"], TEAM_FOLDER, user, "web")
        tree.add_share(db, user, TEAM_FOLDER, org["mount_id"], TEAM_FOLDER, False, org["id"])
