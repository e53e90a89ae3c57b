"""Where the real files for each bundled grammar are found on a machine (none written here):
headers of the C library, configuration files shipped inside installed packages and Debian
packages, scripts of the base system. Shared by the grammar tests and bench/."""

import glob
import os
import site
import sys
import sysconfig


def _site_dirs():
    dirs = list(site.getsitepackages())
    dirs += [site.getusersitepackages(), sysconfig.get_paths()["purelib"]]
    dirs += [p for p in sys.path if p.endswith("site-packages") or p.endswith("dist-packages")]
    seen, out = set(), []
    for d in dirs:
        if d and os.path.isdir(d) and os.path.realpath(d) not in seen:
            seen.add(os.path.realpath(d))
            out.append(d)
    return out


def _find(patterns, limit):
    found = []
    for pattern in patterns:
        for path in sorted(glob.glob(pattern, recursive=True)):
            if os.path.isfile(path) and os.path.getsize(path) < 2_000_000 and path not in found:
                found.append(path)
    return found[:limit] if limit else found


def _under_site(*suffixes):
    return [os.path.join(d, "**", "*" + s) for d in _site_dirs() for s in suffixes]


SOURCES = {
    "python": lambda: [os.path.join(sysconfig.get_paths()["stdlib"], "*.py")],
    "json": lambda: _under_site(".json") + ["/usr/share/**/*.json"],
    "c": lambda: ["/usr/include/*.h", "/usr/include/*/*.h", "/usr/include/python3*/*.h"],
    "toml": lambda: [os.path.join(sysconfig.get_paths()["stdlib"], "test", "test_tomllib", "data",
                                  "valid", "**", "*.toml")] + _under_site(".toml"),
    "ini": lambda: _under_site(".cfg", ".ini") + ["/etc/*.conf", "/etc/**/*.conf"],
    "css": lambda: ["/usr/share/javascript/**/*.css"] + _under_site(".css"),
    "yaml": lambda: _under_site(".yaml", ".yml"),
    "javascript": lambda: ["/usr/share/javascript/**/*.js", "/usr/lib/node_modules/npm/lib/**/*.js"]
    + _under_site(".js"),
    "sql": lambda: ["/usr/share/postgresql/*/extension/*.sql", "/usr/share/postgresql-common/**/*.sql"]
    + _under_site(".sql"),
    "html": lambda: ["/usr/share/doc/**/*.html", "/usr/share/javascript/**/*.html"]
    + _under_site(".html"),
    "markdown": lambda: ["/usr/share/doc/**/*.md"] + _under_site(".md"),
    "shell": lambda: ["/etc/init.d/*", "/usr/share/**/*.sh", "/usr/bin/*.sh"] + _under_site(".sh"),
}


def real_files(grammar, limit=40):
    """Readable UTF-8 files for the grammar, sorted, at most limit of them (0: all)."""
    out = []
    for path in _find(SOURCES[grammar](), 0):
        try:
            with open(path, encoding="utf-8") as f:
                text = f.read()
        except (OSError, UnicodeDecodeError):
            continue
        if grammar == "shell" and not text.startswith("#!") and not path.endswith(".sh"):
            continue
        out.append(path)
        if limit and len(out) >= limit:
            break
    return out
