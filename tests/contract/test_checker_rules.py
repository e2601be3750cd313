"""The checker's rules on their own: name normalisation and matching, signing power,
company validation against a stand-in adapter, signature validation with witnesses,
and containers that change while they are walked."""

import subprocess
import sys
import textwrap
import unicodedata
from unittest import mock

import pytest
from hypothesis import given, strategies as st

from vorlex.contract.checker import ContractChecker
from vorlex.contract.models import AssinaturaExtraida, EmpresaExtraida

# -- oracle -------------------------------------------------------------------------------

FORMAS = {"ltda", "eireli", "epp", "me", "mei", "sa", "s/a", "s.a.", "s.a", "cia"}


def o_norm(t):
    if not t:
        return ""
    t = unicodedata.normalize("NFD", t)
    return "".join(c for c in t if unicodedata.category(c) != "Mn").lower().strip()


def o_palavras(n):
    return {w for w in n.split() if len(w) >= 3 and w not in FORMAS and w.rstrip(".") not in FORMAS}


def o_contido(curto, longo):
    i = longo.find(curto)
    while i >= 0:
        fim = i + len(curto)
        if (i == 0 or longo[i - 1].isspace()) and (fim == len(longo) or longo[fim].isspace()):
            return True
        i = longo.find(curto, i + 1)
    return False


def o_comparar(a, b):
    n1, n2 = o_norm(a), o_norm(b)
    if not n1 or not n2:
        return False
    curto, longo = (n1, n2) if len(n1) <= len(n2) else (n2, n1)
    if o_contido(curto, longo):
        return True
    return len(o_palavras(n1) & o_palavras(n2)) >= 2


@pytest.fixture
def checker(monkeypatch):
    monkeypatch.setenv("OPENAI_API_KEY", "sk-test")
    return ContractChecker("BR", verbose=True)


def record(
    cnpj="11.222.333/0001-81", razao="ACME INDUSTRIA E COMERCIO LTDA", situacao="ATIVA", socios=(), **endereco
):
    return {
        "fonte": "BrasilAPI",
        "cnpj": cnpj,
        "razao_social": razao,
        "situacao": situacao,
        "endereco": {
            "logradouro": "AV PAULISTA",
            "numero": "1000",
            "complemento": "",
            "bairro": "BELA VISTA",
            "cidade": "SAO PAULO",
            "uf": "SP",
            "cep": "01310100",
            **endereco,
        },
        "socios": [dict(s) for s in socios],
    }


def socio(nome, qualificacao="Sócio-Administrador", rep="", qual_rep=""):
    return {
        "nome": nome,
        "qualificacao": qualificacao,
        "nome_representante": rep,
        "qualificacao_representante": qual_rep,
    }


# -- names --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "a, b, esperado",
    [
        ("ACME Indústria e Comércio Ltda", "ACME INDUSTRIA E COMERCIO LTDA", True),
        ("Maria Silva", "MARIA DA SILVA SANTOS", True),
        ("João Souza", "JOAO PEREIRA", False),
        ("Ana", "ANA PAULA LIMA", True),
        ("Ana", "MARIANA LIMA", False),  # not inside a longer word
        ("Paula", "ANA PAULA LIMA", True),
        ("ALFA COMERCIO LTDA", "BETA COMERCIO LTDA", False),  # ltda does not count
        ("ALFA COMERCIO S.A.", "BETA COMERCIO S.A.", False),
        ("ALFA COMERCIO CIA.", "BETA COMERCIO CIA", False),
        ("ALFA COMERCIO DE TINTAS", "BETA COMERCIO DE TINTAS", True),
        ("", "", False),
        ("", "ACME", False),
        ("   ", "ACME", False),
    ],
)
def test_comparar_nomes(checker, a, b, esperado):
    assert checker._comparar_nomes(a, b) is esperado
    assert checker._comparar_nomes(b, a) is esperado


@given(st.text(max_size=40))
def test_normalisation_matches_python(texto):
    assert ContractChecker._normalizar_texto(None, texto) == o_norm(texto)


SPACE = st.sampled_from([" ", "\u00a0", "\u2028", "\x1c", "\t", "\u3000"])
NAME_WORD = st.sampled_from(
    [
        "ana",
        "Ana",
        "MARIANA",
        "silva",
        "Silva",
        "João",
        "JOAO",
        "ltda",
        "LTDA.",
        "s.a.",
        "me.",
        "Cia",
        "comercio",
        "Comércio",
        "de",
        "ı",
        "İ",
    ]
)
NAMES = st.lists(st.one_of(NAME_WORD, st.text(max_size=4)), max_size=5).flatmap(
    lambda ws: st.lists(SPACE, min_size=len(ws), max_size=len(ws)).map(
        lambda sps: "".join(w + s for w, s in zip(ws, sps, strict=True))
    )
)


@given(NAMES, NAMES)
def test_comparison_matches_python(a, b):
    assert ContractChecker._comparar_nomes(ContractChecker.__new__(ContractChecker), a, b) == o_comparar(a, b)


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c._normalizar_texto(None),
        lambda c: c._comparar_nomes(None, "x"),
        lambda c: c._comparar_nomes("x", 1),
        lambda c: c._verificar_poder_assinatura(None, {}),
        lambda c: c._verificar_poder_assinatura("x", [("socios", [])]),
    ],
)
def test_name_operations_refuse_other_types(checker, call):
    with pytest.raises(TypeError):
        call(checker)


def test_signing_power_order_and_qualification(checker):
    dados = {
        "socios": [
            socio("PEDRO ALVES", rep="MARIA SOUZA", qual_rep="Procuradora"),
            socio("MARIA SOUZA", "Sócia"),
        ]
    }
    # the first partner is tried completely (name, then representative) before the second
    assert checker._verificar_poder_assinatura("Maria Souza", dados) == (True, "Procuradora")
    assert checker._verificar_poder_assinatura("Pedro Alves", dados) == (True, "Sócio-Administrador")
    assert checker._verificar_poder_assinatura("Carla Dias", dados) == (False, None)
    assert checker._verificar_poder_assinatura("Carla", {}) == (False, None)
    assert checker._verificar_poder_assinatura("Carla", {"socios": [{"nome": "CARLA DIAS"}]}) == (True, None)
    # a partner whose name the registry left null matches nobody
    assert checker._verificar_poder_assinatura("Carla", {"socios": [{"nome": None}]}) == (False, None)
    # a partner list that is not a list (a service's odd answer) lists nobody
    assert checker._verificar_poder_assinatura("Carla", {"socios": "CARLA"}) == (False, None)


def test_name_steps_are_called_through_self(checker):
    checker._normalizar_texto = lambda t: "igual"
    assert checker._comparar_nomes("a", "b") is True
    assert checker._verificar_poder_assinatura("x", {"socios": [socio("y")]}) == (True, "Sócio-Administrador")
    del checker._normalizar_texto
    with mock.patch.object(ContractChecker, "_comparar_nomes", return_value=False) as fake:
        assert checker._verificar_poder_assinatura("MARIA", {"socios": [socio("MARIA")]}) == (False, None)
    fake.assert_called_once_with("MARIA", "MARIA")


# -- companies ----------------------------------------------------------------------------


class Adapter:
    """Records calls; answers from its tables."""

    def __init__(self, por_cnpj=None, por_nome=None, validos=None):
        self.por_cnpj, self.por_nome = por_cnpj or {}, por_nome or {}
        self.validos = validos
        self.calls = []

    def validate_company_id(self, cid):
        self.calls.append(("validate", cid))
        return cid in self.validos if self.validos is not None else len(cid) == 14

    def lookup_company(self, cid):
        self.calls.append(("lookup", cid))
        return self.por_cnpj.get(cid)

    def search_companies(self, nome):
        self.calls.append(("search", nome))
        return self.por_nome.get(nome)


def campos(emp):
    return [(c.campo, c.status, c.valor_contrato, c.valor_receita, c.mensagem) for c in emp.campos]


def test_company_found_by_cnpj(checker, capsys):
    rec = record()
    checker.adapter = Adapter({"11222333000181": rec})
    emp = EmpresaExtraida(
        cnpj="11.222.333/0001-81",
        razao_social="Acme Indústria e Comércio Ltda",
        endereco="Av. Paulista, 1000, Bela Vista, São Paulo",
        papel_no_contrato="contratante",
    )
    (v,), cache = checker._validar_empresas([emp])
    assert checker.adapter.calls == [("validate", "11222333000181"), ("lookup", "11222333000181")]
    assert campos(v) == [
        ("CNPJ", "aprovado", "11.222.333/0001-81", "11.222.333/0001-81", "CNPJ encontrado"),
        ("Situação Cadastral", "aprovado", "-", "ATIVA", "Empresa ATIVA"),
        ("Razão Social", "aprovado", "Acme Indústria e Comércio Ltda", rec["razao_social"], "Confere"),
        (
            "Endereço",
            "aprovado",
            emp.endereco,
            "AV PAULISTA 1000 BELA VISTA SAO PAULO SP 01310100",
            "Similaridade: 86%",
        ),  # six of seven words
    ]
    assert (v.cnpj_encontrado, v.empresa_ativa, v.razao_social_confere, v.cnpj_buscado_por_nome) == (
        True,
        True,
        True,
        False,
    )
    assert v.problemas == [] and v.papel_no_contrato == "contratante" and v.socios == []
    assert list(cache) == ["11222333000181", "acme industria e comercio ltda"]
    assert cache["11222333000181"] is rec
    assert capsys.readouterr().out.splitlines() == [
        "🏢 ",
        "--- Verificando: Acme Indústria e Comércio Ltda ---",
        "🔍 Consultando CNPJ 11.222.333/0001-81...",
    ]


@pytest.mark.parametrize(
    "situacao, ativa, mensagem",
    [
        ("ATIVA", True, "Empresa ATIVA"),
        ("ativa", True, "Empresa ATIVA"),
        (" Ativa ", True, "Empresa ATIVA"),
        ("INATIVA", False, "Empresa INATIVA"),
        ("BAIXADA", False, "Empresa BAIXADA"),
        ("", False, "Empresa "),
        (None, False, "Empresa "),
    ],
)
def test_registration_status(checker, situacao, ativa, mensagem):
    checker.adapter = Adapter({"11222333000181": record(situacao=situacao)})
    (v,), _ = checker._validar_empresas([EmpresaExtraida(cnpj="11222333000181")])
    status = next(c for c in v.campos if c.campo == "Situação Cadastral")
    assert v.empresa_ativa is ativa
    assert (status.status, status.mensagem) == ("aprovado" if ativa else "reprovado", mensagem)
    expected = [] if ativa else ["Empresa com situação: " + mensagem[len("Empresa ") :]]
    assert v.problemas == expected


def test_company_found_by_name_is_cached_under_the_registry_number(checker, capsys):
    rec = record(cnpj="33.444.555/0001-81", razao="BETA SERVICOS LTDA")
    checker.adapter = Adapter(por_nome={"Beta Serviços": rec}, validos=set())
    (v,), cache = checker._validar_empresas([EmpresaExtraida(cnpj="123", razao_social="Beta Serviços")])
    assert checker.adapter.calls == [("validate", "123"), ("search", "Beta Serviços")]
    assert campos(v)[0] == ("CNPJ", "aprovado", "123", "33.444.555/0001-81", "CNPJ encontrado")
    assert campos(v)[2][1:] == ("aprovado", "Beta Serviços", "BETA SERVICOS LTDA", "Confere")
    assert len(v.campos) == 3  # no address in the contract
    assert v.cnpj_buscado_por_nome and v.cnpj == "33.444.555/0001-81"
    assert list(cache) == ["33444555000181", "beta servicos"]
    assert " ✅ Encontrado: 33.444.555/0001-81" in capsys.readouterr().out.splitlines()


def test_company_without_number_or_name(checker, capsys):
    checker.adapter = Adapter()
    (v,), cache = checker._validar_empresas([EmpresaExtraida()])
    assert checker.adapter.calls == [] and cache == {}
    assert campos(v) == [
        ("CNPJ", "reprovado", "(não informado)", None, "CNPJ não encontrado na Receita Federal")
    ]
    assert v.problemas == ["CNPJ não encontrado"] and v.cnpj == "" and not v.empresa_ativa
    assert "--- Verificando: Empresa ---" in capsys.readouterr().out


def test_name_mismatch_and_duplicate_names(checker):
    a = record(cnpj="11.222.333/0001-81", razao="OUTRA COISA SA")
    b = record(cnpj="33.444.555/0001-81", razao="OUTRA COISA SA")
    checker.adapter = Adapter({"11222333000181": a, "33444555000181": b})
    vs, cache = checker._validar_empresas(
        [
            EmpresaExtraida(cnpj="11222333000181", razao_social="ACME"),
            EmpresaExtraida(cnpj="33444555000181", razao_social="  Acme "),
        ]
    )
    assert campos(vs[0])[2] == ("Razão Social", "pendente", "ACME", "OUTRA COISA SA", "Divergente")
    assert not vs[0].razao_social_confere and vs[0].problemas == []
    assert cache["acme"] is b  # the later company replaces the earlier under the same name


def test_found_by_name_without_cnpj_says_so(checker):
    checker.adapter = Adapter(por_nome={"ACME": record()})
    (v,), _ = checker._validar_empresas([EmpresaExtraida(razao_social="ACME")])
    assert campos(v)[0][:3] == ("CNPJ", "aprovado", "(buscado automaticamente)")


def test_adapter_errors_end_the_validation(checker):
    class Quebrado(Adapter):
        def lookup_company(self, cid):
            raise RuntimeError("registro fora do ar")

    checker.adapter = Quebrado()
    with pytest.raises(RuntimeError, match="fora do ar"):
        checker._validar_empresas([EmpresaExtraida(cnpj="11222333000181")])


# -- signatories --------------------------------------------------------------------------


def cache_de(*recs):
    out = {}
    for r in recs:
        out[r["cnpj"].replace(".", "").replace("/", "").replace("-", "")] = r
        out[o_norm(r["razao_social"])] = r
    return out


def linha(v):
    (c,) = v.campos
    return (c.campo, c.status, c.valor_contrato, c.valor_receita, c.mensagem)


def test_signatory_cases(checker, capsys):
    acme = record(
        socios=[
            socio("MARIA DA SILVA SANTOS", "Sócia-Administradora"),
            socio("PEDRO ALVES", None),
            socio("C"),
            socio("D"),
            socio("E"),
        ]
    )
    beta = record(cnpj="33.444.555/0001-81", razao="BETA LTDA", socios=[])
    cache = cache_de(acme, beta)
    vs = checker._validar_assinaturas(
        [
            AssinaturaExtraida(
                nome_signatario="Maria Silva", cnpj_empresa="11.222.333/0001-81", cargo="Diretora"
            ),
            AssinaturaExtraida(
                nome_signatario="Pedro Alves", empresa_representada="ACME Indústria e Comércio LTDA"
            ),
            AssinaturaExtraida(nome_signatario="Carla Dias", cnpj_empresa="11222333000181"),
            AssinaturaExtraida(nome_signatario="Carla Dias", empresa_representada="Beta Ltda"),
            AssinaturaExtraida(nome_signatario="Pedro Alves"),  # no company: found in any cached record
            AssinaturaExtraida(nome_signatario="Rui Nunes"),
            AssinaturaExtraida(nome_signatario="N/A", tipo_assinatura="digital"),
            AssinaturaExtraida(nome_signatario=""),
        ],
        cache,
    )
    sem_poder = (
        "Poder de Assinatura",
        "pendente",
        "Pedro Alves",
        "não informada",
        "Sócio sem poder de administração no registro (não informada): verificar a cláusula de administração",
    )
    assert [linha(v) for v in vs] == [
        (
            "Poder de Assinatura",
            "aprovado",
            "Maria Silva",
            "Sócia-Administradora",
            "Signatário tem poder (Sócia-Administradora)",
        ),
        sem_poder,  # listed, but the registry gives no qualification that administers
        (
            "Poder de Assinatura",
            "reprovado",
            "Carla Dias",
            "QSA: MARIA DA SILVA SANTOS, PEDRO ALVES, C...",
            "Signatário NÃO encontrado no QSA",
        ),
        ("Poder de Assinatura", "reprovado", "Carla Dias", "QSA vazio", "Signatário NÃO encontrado no QSA"),
        sem_poder,
        ("Poder de Assinatura", "pendente", "Rui Nunes", None, "Não foi possível verificar"),
        ("Identificação", "nao_verificado", None, None, "Signatário não identificado"),
        ("Identificação", "nao_verificado", None, None, "Signatário não identificado"),
    ]
    assert [v.tem_poder_assinatura for v in vs] == [True, False, False, False, False, False, False, False]
    assert [v.problemas for v in vs] == [[], [], ["Signatário sem poder de assinatura"]] * 1 + [
        ["Signatário sem poder de assinatura"],
        [],
        [],
        ["Signatário não identificado"],
        ["Signatário não identificado"],
    ]
    assert vs[0].qualificacao_qsa == "Sócia-Administradora" and vs[1].qualificacao_qsa is None
    assert vs[6].nome_signatario == "(não identificado)" and vs[6].tipo_assinatura == "digital"
    assert vs[0].cargo == "Diretora" and vs[0].cnpj_empresa == "11.222.333/0001-81"
    assert capsys.readouterr().out.splitlines() == [
        "✍️ ",
        "--- Verificando Assinaturas ---",
        "👤 Verificando: Maria Silva",
        " ✅ Maria Silva TEM PODER (Sócia-Administradora)",
        "👤 Verificando: Pedro Alves",
        " ⚠️ Pedro Alves - sócio sem poder de administração (não informada)",
        "👤 Verificando: Carla Dias",
        " ❌ Carla Dias NÃO TEM PODER",
        "👤 Verificando: Carla Dias",
        " ❌ Carla Dias NÃO TEM PODER",
        "👤 Verificando: Pedro Alves",
        " ⚠️ Pedro Alves - sócio sem poder de administração (não informada)",
        "👤 Verificando: Rui Nunes",
        " ⚠️ Rui Nunes - não foi possível verificar",
    ]


def test_fallback_tries_every_entry_in_insertion_order(checker):
    a = record(razao="ALFA", socios=[socio("ZECA")])
    b = record(
        cnpj="33.444.555/0001-81", razao="BETA", socios=[socio("ANA PAULA LIMA", "Sócia-Administradora")]
    )
    seen = []
    original = ContractChecker._verificar_poder_assinatura

    def spy(self, nome, dados):
        seen.append(dados["razao_social"])
        return original(self, nome, dados)

    with mock.patch.object(ContractChecker, "_verificar_poder_assinatura", spy):
        (v,) = checker._validar_assinaturas([AssinaturaExtraida(nome_signatario="Ana")], cache_de(a, b))
    assert seen == ["ALFA", "ALFA", "BETA"]  # a record under two keys is tried twice
    assert v.tem_poder_assinatura and v.qualificacao_qsa == "Sócia-Administradora"


@pytest.mark.parametrize(
    "campos_extra",
    [
        {"tipo_assinatura": "Testemunha"},
        {"cargo": "1ª TESTEMUNHA"},
        {"tipo_assinatura": "testemunhas"},
    ],
)
def test_witnesses_are_not_asked_for_signing_power(checker, capsys, campos_extra):
    # even a partner who signs as a witness is not looked up
    cache = cache_de(record(socios=[socio("JOSE LIMA")]))
    with mock.patch.object(ContractChecker, "_verificar_poder_assinatura") as poder:
        (v,) = checker._validar_assinaturas(
            [AssinaturaExtraida(nome_signatario="José Lima", cnpj_empresa="11222333000181", **campos_extra)],
            cache,
        )
    poder.assert_not_called()
    assert linha(v) == (
        "Identificação",
        "nao_verificado",
        None,
        None,
        "Testemunha: poder de assinatura não exigido",
    )
    assert v.problemas == [] and v.tem_poder_assinatura is False and v.nome_signatario == "José Lima"
    assert capsys.readouterr().out.splitlines()[2:] == [
        "👤 Verificando: José Lima",
        " 👁️ José Lima - testemunha",
    ]


def test_empty_list_still_logs_the_header(checker, capsys):
    assert checker._validar_assinaturas([], {}) == []
    assert capsys.readouterr().out == "✍️ \n--- Verificando Assinaturas ---\n"


def test_quiet_checker_writes_nothing(checker, capsys):
    checker.verbose = False
    checker.adapter = Adapter({"11222333000181": record()})
    _, cache = checker._validar_empresas([EmpresaExtraida(cnpj="11222333000181", razao_social="X")])
    checker._validar_assinaturas([AssinaturaExtraida(nome_signatario="Y")], cache)
    assert capsys.readouterr().out == ""


# -- containers changed while walked --------------------------------------------------------


HOSTILE = textwrap.dedent("""
    import os
    os.environ["OPENAI_API_KEY"] = "sk"
    from vorlex.contract.checker import ContractChecker
    from vorlex.contract.models import AssinaturaExtraida

    c = ContractChecker("BR", verbose=False)
    socios = []

    class Socio(dict):
        def get(self, key, default=None):
            socios.clear()          # the partner list empties under the walk
            socios.extend([Socio(nome="Z")] * 50)
            return dict.get(self, key, default)

    socios.extend([Socio(nome="A"), Socio(nome="B"), Socio(nome="C")])
    print(c._verificar_poder_assinatura("C", {"socios": socios}))

    cache = {}

    class Registro(dict):
        def get(self, key, default=None):
            cache.clear()
            return dict.get(self, key, default)

    cache.update({"a": Registro(socios=[{"nome": "Q"}]),
                  "b": Registro(socios=[{"nome": "C", "qualificacao": "Administrador"}])})
    print(c._validar_assinaturas([AssinaturaExtraida(nome_signatario="C")] * 3, cache)[0].tem_poder_assinatura)
""")


def test_containers_changed_during_the_walk_do_not_crash():
    run = subprocess.run([sys.executable, "-c", HOSTILE], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["(True, None)", "True"]
