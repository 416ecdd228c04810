"""Every Python snippet of the README runs as written, in order, in one namespace (as a
reader pastes them into one session), in a fresh directory."""
import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_every_readme_snippet_runs(tmp_path, monkeypatch):
    snippets = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)
    assert len(snippets) >= 6
    monkeypatch.chdir(tmp_path)
    namespace: dict = {"__name__": "__main__"}  # as a script runs them
    for number, code in enumerate(snippets):
        exec(compile(code, f"README snippet {number + 1}", "exec"), namespace)
