"""Lays files out the way the model hub client keeps them in its cache folder.

A repository "owner/name" lives in CACHE/models--owner--name with the files of one revision in
snapshots/<commit>/ and refs/main naming that commit. The hub client's local-files-only lookups
(and therefore the worker's cache check) find such a folder without any network access.
"""
import os
import shutil

# A fixed, made-up commit id: the cache only needs refs/main and the snapshot folder to agree.
FAKE_COMMIT = "0123456789abcdef0123456789abcdef01234567"


def repo_folder(cache_dir, repo_id):
    return os.path.join(cache_dir, "models--" + repo_id.replace("/", "--"))


def snapshot_folder(cache_dir, repo_id, commit=FAKE_COMMIT):
    return os.path.join(repo_folder(cache_dir, repo_id), "snapshots", commit)


def _place(src, dst, link):
    # Hard links keep a 75 MB model from being copied for every test; other file systems copy.
    # A linked file shares its bytes with the source: never write into it, replace it.
    if os.path.exists(dst):
        os.remove(dst)
    if link:
        try:
            os.link(src, dst)
            return
        except OSError:
            pass
    shutil.copyfile(src, dst)


def add_file(dst, src, link=True):
    """Places one file (linked where the file system allows) at dst."""
    os.makedirs(os.path.dirname(dst), exist_ok=True)
    _place(src, dst, link)


def add_snapshot(cache_dir, repo_id, files, commit=FAKE_COMMIT, link=True):
    """files: mapping of file name in the repository -> local source path. Returns the snapshot."""
    snap = snapshot_folder(cache_dir, repo_id, commit)
    os.makedirs(snap, exist_ok=True)
    for name, src in files.items():
        dst = os.path.join(snap, name)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        _place(src, dst, link)
    refs = os.path.join(repo_folder(cache_dir, repo_id), "refs")
    os.makedirs(refs, exist_ok=True)
    with open(os.path.join(refs, "main"), "w", encoding="ascii", newline="") as f:
        f.write(commit)
    return snap
