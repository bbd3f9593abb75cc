"""What the installed distribution carries besides the code: the licence it
declares, as a file, and the project's links."""

import importlib.metadata


def test_licence_file_matches_the_declared_licence():
    dist = importlib.metadata.distribution("velmora")
    assert dist.metadata["License-Expression"] == "BSD-3-Clause"
    licence = [f for f in dist.files if f.name == "LICENSE"]
    assert len(licence) == 1
    text = licence[0].read_text()
    assert "BSD 3-Clause License" in text and "Copyright (c) 2026, The velmora developers" in text
    assert "Neither the name of the copyright holder" in text  # the third clause


def test_project_urls():
    urls = dict(u.split(", ", 1) for u in importlib.metadata.metadata("velmora").get_all("Project-URL"))
    assert set(urls) == {"Homepage", "Documentation", "Source", "Issues"}
    assert all(u.startswith("https://") for u in urls.values())
