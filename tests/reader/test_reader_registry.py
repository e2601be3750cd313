"""Question registry: order, replacement, selection, classification and cache upkeep."""

import logging

import pytest
from pydantic import BaseModel

from vorlex.exceptions import ProcessingError
from vorlex.models import Classification, PageRange, Question
from vorlex.reader import Vorlex

NOTHING = "Nenhuma pergunta configurada. Use add_question() primeiro."


@pytest.fixture
def reader():
    return Vorlex(openai_api_key="sk")


def q(qid, prompt="{texto}"):
    return Vorlex.create_question(qid, "Nome " + qid, prompt)


class Schema(BaseModel):
    valor: str


class TestCreateQuestion:
    def test_defaults(self):
        question = Vorlex.create_question("id1", "Nome", "Leia {texto}")
        assert isinstance(question, Question)
        assert (question.config.id, question.config.name) == ("id1", "Nome")
        assert question.system_prompt == "Você é um especialista em extração de informações."
        assert question.keywords == [] and question.page_range is None
        assert question.response_model is None

    def test_all_arguments(self):
        pages = PageRange(start=1, end=2)
        question = Vorlex.create_question("id2", "N", "P {texto}", "S", ["multa", "prazo"], pages, Schema)
        assert question.system_prompt == "S"
        assert question.keywords == ["multa", "prazo"]
        assert question.page_range == pages and question.response_model is Schema

    def test_empty_keywords_become_a_new_list(self):
        empty = []
        question = Vorlex.create_question("a", "b", "c {texto}", keywords=empty)
        assert question.keywords == []
        question.keywords.append("x")
        assert empty == []

    def test_bad_types(self):
        with pytest.raises(TypeError, match="question_id"):
            Vorlex.create_question(1, "b", "c")
        with pytest.raises(TypeError, match="keywords"):
            Vorlex.create_question("a", "b", "c", keywords="multa")


class TestRegistry:
    def test_order_and_replacement(self, reader):
        first_a, b, second_a = q("a"), q("b"), q("a", "outra {texto}")
        assert reader.add_question(first_a) is reader
        reader.add_question(b).add_question(second_a)
        assert reader.questions == [second_a, b]
        assert list(reader._questions) == ["a", "b"]

    def test_questions_is_a_copy(self, reader):
        reader.add_question(q("a"))
        listed = reader.questions
        listed.clear()
        assert len(reader.questions) == 1

    def test_add_questions(self, reader):
        assert reader.add_questions([q("x"), q("y"), q("z")]) is reader
        assert [x.config.id for x in reader.questions] == ["x", "y", "z"]
        reader.add_questions([])
        assert len(reader.questions) == 3

    @pytest.mark.parametrize("bad", [None, (q("a"),), q("a"), "ab", {"a": 1}])
    def test_add_questions_rejects_non_lists_before_adding(self, reader, bad):
        with pytest.raises(TypeError, match="questions"):
            reader.add_questions(bad)
        assert reader.questions == []

    def test_question_without_id_leaves_registry_unchanged(self, reader):
        reader.add_question(q("a"))
        with pytest.raises(AttributeError):
            reader.add_question(object())
        with pytest.raises(AttributeError):
            reader.add_questions([q("b"), "sem config"])
        assert [x.config.id for x in reader.questions] == ["a", "b"]

    def test_remove_and_clear(self, reader):
        reader.add_questions([q("a"), q("b")])
        assert reader.remove_question("nao-existe") is reader
        assert reader.remove_question("a") is reader
        assert [x.config.id for x in reader.questions] == ["b"]
        assert reader.clear_questions() is reader
        assert reader.questions == []

    def test_verbose_log(self, vorlex_logs):
        Vorlex(openai_api_key="sk", verbose=True).add_question(q("multa"))
        Vorlex(openai_api_key="sk").add_question(q("silenciosa"))
        lines = [
            r.getMessage()
            for r in vorlex_logs.records
            if r.name == "vorlex.reader" and r.levelno == logging.INFO
        ]
        assert "Pergunta adicionada: multa" in lines
        assert not any("silenciosa" in line for line in lines)

    def test_chaining_with_classification(self, reader):
        classification = Classification(system_prompt="s", user_prompt="{dados}")
        other = Classification(system_prompt="t", user_prompt="{dados}")
        result = reader.add_question(q("a")).add_question(q("b")).set_classification(classification)
        assert result is reader and reader._classification is classification
        reader.set_classification(other)
        assert reader._classification is other


class TestSelect:
    def test_selection_order_and_duplicates(self, reader):
        a, b = q("a"), q("b")
        reader.add_questions([a, b])
        assert reader._select_questions(["b", "a"]) == [b, a]
        assert reader._select_questions(["a", "a"]) == [a, a]
        assert reader._select_questions([]) == [a, b]
        assert reader._select_questions(None) == [a, b]
        assert reader._select_questions() == [a, b]

    def test_selection_is_a_new_list(self, reader):
        reader.add_question(q("a"))
        selected = reader._select_questions(None)
        selected.append("x")
        assert reader._select_questions(None) == [reader.questions[0]]

    def test_nothing_selected(self, reader):
        with pytest.raises(ProcessingError) as info:
            reader._select_questions(None)
        assert str(info.value) == NOTHING
        # an id the registry does not have is named, with the ids it has
        reader.add_question(q("a"))
        with pytest.raises(ValueError, match=r"desconhecida\(s\): 'x', 'y'\. Registradas: 'a'"):
            reader._select_questions(["x", "a", "y"])

    @pytest.mark.parametrize("bad", [("a",), "a", 1, {"a"}])
    def test_non_list_is_type_error(self, reader, bad):
        reader.add_question(q("a"))
        with pytest.raises(TypeError, match="question_ids"):
            reader._select_questions(bad)


class TestCache:
    def test_without_cache(self, reader):
        assert reader.cache_stats() == {"hits": 0, "misses": 0, "size": 0}
        assert reader.clear_cache() is reader

    def test_with_cache(self):
        reader = Vorlex(openai_api_key="sk", enable_cache=True)
        cache = reader._cache
        cache.get("nada")
        from vorlex.models import DocumentMetadata, ProcessingResult

        cache.put("k", ProcessingResult(document=DocumentMetadata(filename="f")))
        assert reader.cache_stats() == cache.stats()
        assert reader.cache_stats()["misses"] == 1 and reader.cache_stats()["size"] == 1
        assert reader.clear_cache() is reader
        assert reader.cache_stats()["size"] == 0
