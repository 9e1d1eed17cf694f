"""The bundled data as installed with the package."""

import os

import pytest

import razoduviva
import razoduviva.data


def test_paths_are_the_jieba_keyword_arguments_of_installed_files():
    paths = razoduviva.data.paths()
    assert list(paths) == ["dict_path", "hmm_path", "user_dict_path", "idf_path",
                           "stop_word_path"]
    assert paths["user_dict_path"] == ""
    package_dir = os.path.dirname(razoduviva.data.__file__)
    for key, path in paths.items():
        if key != "user_dict_path":
            assert isinstance(path, str) and os.path.isfile(path), key
            assert os.path.dirname(path) == package_dir
    assert os.path.isfile(os.path.join(package_dir, "NOTICE"))
    assert razoduviva.data.paths("a.dict|b.dict")["user_dict_path"] == "a.dict|b.dict"


def test_installed_data_is_small():
    paths = razoduviva.data.paths()
    total = sum(os.path.getsize(p) for p in paths.values() if p)
    assert total < 15 * 1024 * 1024


def test_installed_files_keep_the_loader_formats():
    paths = razoduviva.data.paths()
    with open(paths["dict_path"], "rb") as f:
        head = f.read(1 << 16).decode("utf-8", errors="ignore")
    first = head.split("\n")[0]
    assert len(first.split(" ")) == 3
    with open(paths["stop_word_path"], encoding="utf-8") as f:
        stop_words = f.read().split("\n")
    assert stop_words[-1] == "" and "" not in stop_words[:-1]
    assert "的" in stop_words


jieba_class = getattr(razoduviva, "Jieba", None)


@pytest.mark.skipif(jieba_class is None, reason="razoduviva.Jieba is not built yet")
@pytest.mark.parametrize("sentence, words", [
    ("我们在北京学习中文。", ["我们", "在", "北京", "学习", "中文", "。"]),
    ("他喜欢喝咖啡", ["他", "喜欢", "喝", "咖啡"]),
    ("今天天气不错", ["今天", "天气", "不错"]),
    ("经济发展很快，人民生活水平提高了。",
     ["经济", "发展", "很快", "，", "人民", "生活", "水平", "提高", "了", "。"]),
    # traditional script
    ("我們在臺灣學習中文。", ["我們", "在", "臺灣", "學習", "中文", "。"]),
])
def test_bundled_data_cuts_plausible_words(sentence, words):
    jieba = jieba_class(**razoduviva.data.paths())
    assert jieba.cut(sentence) == words
