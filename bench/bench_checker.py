"""Benchmarks of the contract checker, in one process.

verificar_vs_waits             one verification of the sample contract (two companies,
                               five signatories) against the local chat server (0.2 s per
                               answer) and the fake registry (0.05 s per reply): measured
                               time / the sum of the waits it cannot avoid (3 model answers
                               plus each registry request it sent). Lower is better; 1.0
                               means the checker adds nothing of its own.
verificar_vs_critical_path     the same verification against its critical path: one model
                               wait (the three questions are asked at once) plus the
                               longest chain of registry requests of one company. Lower
                               is better; at most 1.25.
verificar_vs_bare_critical_path  the same against the bare libraries making the critical
                               path's calls (one structured call, then one registry
                               request): what Vorlex adds on its critical path.
verificar_vs_bare_libraries    the same verification against the bare client libraries
                               making the same calls to the same servers (a new OpenAI
                               client, three structured calls, the registry requests):
                               what Vorlex itself adds. Lower is better.
validar_assinaturas_50x20x10   _validar_assinaturas for 50 signatories against a cache of
                               20 company records of 10 partners each, most of them going
                               through the fallback over every cache entry: time of a
                               straightforward Python implementation of the same rules /
                               Vorlex time. Higher is better.
"""

import os
import pathlib
import random
import re
import statistics
import sys
import tempfile
import time
import unicodedata

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import vorlex.contract.countries.br.cnpj as cnpj_mod
from _common import best_of
from contract.contracts import contrato_exemplo, registros_exemplo
from servers.chat import ChatServer
from servers.registry import RegistryServer, Reply
from vorlex.contract.checker import ContractChecker
from vorlex.contract.models import (
    AssinaturaExtraida,
    AssinaturaVerificada,
    CampoVerificado,
)

PROVIDER_VARS = (
    "OPENAI_PROVIDER",
    "OPENAI_API_KEY",
    "AZURE_API_KEY",
    "AZURE_API_ENDPOINT",
    "AZURE_API_VERSION",
    "AZURE_DEPLOYMENT_NAME",
    "GOOGLE_API_KEY",
    "XAI_API_KEY",
    "GROK_API_KEY",
    "XAI_BASE_URL",
    "OPENAI_BASE_URL",
    "OPENAI_ORG_ID",
    "OPENAI_PROJECT_ID",
    "CNPJA_API_KEY",
)

MODEL_DELAY = 0.2
REGISTRY_DELAY = 0.05


# -- 1. a whole verification against the waits it must make -----------------------------------


def bench_verificar():
    for name in PROVIDER_VARS:
        os.environ.pop(name, None)
    contrato = contrato_exemplo()
    with (
        ChatServer(delay=MODEL_DELAY) as chat,
        RegistryServer() as registry,
        tempfile.TemporaryDirectory() as tmp,
    ):
        os.environ["OPENAI_BASE_URL"] = chat.base_url
        os.environ["OPENAI_API_KEY"] = "sk-bench"
        cnpj_mod.BRASIL_API_URL = registry.brasil_api_url
        cnpj_mod.RECEITA_WS_URL = registry.receita_ws_url
        cnpj_mod.CASADOSDADOS_API = registry.casa_dos_dados_url
        for cnpj, rec in registros_exemplo().items():
            registry.brasil_api[cnpj] = Reply(json=rec, delay=REGISTRY_DELAY)
        registry.casa_dos_dados_reply = Reply(
            json={"success": True, "data": {"count": 0, "cnpj": []}}, delay=REGISTRY_DELAY
        )
        chat.responder = contrato.responder()
        path = contrato.write(pathlib.Path(tmp) / "contrato.pdf")

        def run():
            chat.reset()
            chat.responder = contrato.responder()
            registry.requests.clear()
            checker = ContractChecker("BR", model="gpt-4o-mini", verbose=False)
            t0 = time.perf_counter()
            result = checker.verificar(path)
            elapsed = time.perf_counter() - t0
            assert result["resultado_final"] == "REPROVADO", result["justificativa"]
            model_calls = len(chat.requests)
            assert model_calls == 3, model_calls
            waits = model_calls * MODEL_DELAY + len(registry.requests) * REGISTRY_DELAY
            # The critical path: one model wait (the three questions are asked at once)
            # and the longest chain of registry requests of one company.
            chains = {}
            for q in registry.requests:
                key = q.path.rsplit("/", 1)[1] if q.service != "casadosdados" else "search"
                chains[key] = chains.get(key, 0) + 1
            critical = MODEL_DELAY + REGISTRY_DELAY * max(chains.values(), default=0)
            return elapsed, waits, len(registry.requests), critical

        def bare(n_registry):
            # The same waits through the bare client libraries: a new OpenAI client, the
            # three structured calls, the registry requests. What the libraries and the
            # local servers cost on top of the waits, with no Vorlex code in between.
            import openai
            import requests

            from vorlex.contract.models import ExtracaoAssinaturas, ExtracaoDadosContrato, ExtracaoEmpresas

            t0 = time.perf_counter()
            client = openai.OpenAI(api_key="sk-bench", base_url=chat.base_url, max_retries=0)
            for model in (ExtracaoEmpresas, ExtracaoAssinaturas, ExtracaoDadosContrato):
                client.beta.chat.completions.parse(
                    model="gpt-4o-mini",
                    response_format=model,
                    messages=[{"role": "user", "content": "texto"}],
                )
            cnpjs = list(registros_exemplo())
            for i in range(n_registry):
                requests.get(registry.brasil_api_url.format(cnpj=cnpjs[i % len(cnpjs)]), timeout=10)
            return time.perf_counter() - t0

        def bare_critical():
            # The critical path through the bare libraries: one structured call, then one
            # registry request (what cannot overlap), so that machine load weighs on both.
            import openai
            import requests

            from vorlex.contract.models import ExtracaoEmpresas

            t0 = time.perf_counter()
            client = openai.OpenAI(api_key="sk-bench", base_url=chat.base_url, max_retries=0)
            client.beta.chat.completions.parse(
                model="gpt-4o-mini",
                response_format=ExtracaoEmpresas,
                messages=[{"role": "user", "content": "texto"}],
            )
            requests.get(registry.brasil_api_url.format(cnpj=next(iter(registros_exemplo()))), timeout=10)
            return time.perf_counter() - t0

        run()  # warm: imports of the reader and its client libraries
        runs = [run() for _ in range(3)]
        floors = [bare(n) for _, _, n, _ in runs]
        bare_paths = [bare_critical() for _ in range(3)]
    ratios = [e / w for e, w, _, _ in runs]
    for (e, w, n, c), f in zip(runs, floors, strict=True):
        print(
            f"  verificar: {e * 1e3:.0f} ms, waits {w * 1e3:.0f} ms "
            f"(3 model answers, {n} registry requests), critical path {c * 1e3:.0f} ms, "
            f"bare libraries one after another {f * 1e3:.0f} ms"
        )
    print(f"verificar_vs_waits: {statistics.median(ratios):.3f}", flush=True)
    print(f"verificar_vs_critical_path: {statistics.median([e / c for e, _, _, c in runs]):.3f}", flush=True)
    print(
        f"verificar_vs_bare_libraries: {statistics.median([e / f for (e, _, _, _), f in zip(runs, floors, strict=True)]):.3f}",
        flush=True,
    )
    print(f"  critical path through the bare libraries: {min(bare_paths) * 1e3:.0f} ms")
    print(
        f"verificar_vs_bare_critical_path: {min(e for e, _, _, _ in runs) / min(bare_paths):.3f}", flush=True
    )


# -- 2. signature validation against a Python implementation -------------------------------------

FORMAS = {"ltda", "eireli", "epp", "me", "mei", "sa", "s/a", "s.a.", "cia"}


def py_norm(texto):
    if not texto:
        return ""
    t = unicodedata.normalize("NFD", texto)
    return "".join(c for c in t if unicodedata.category(c) != "Mn").lower().strip()


def py_palavras(n):
    return {w for w in n.split() if len(w) >= 3 and w not in FORMAS}


def py_contido(curto, longo):
    i = longo.find(curto)
    while i >= 0:
        fim = i + len(curto)
        if (i == 0 or longo[i - 1].isspace()) and (fim == len(longo) or longo[fim].isspace()):
            return True
        i = longo.find(curto, i + 1)
    return False


def py_comparar(a, b):
    n1, n2 = py_norm(a), py_norm(b)
    if not n1 or not n2:
        return False
    curto, longo = (n1, n2) if len(n1) <= len(n2) else (n2, n1)
    if py_contido(curto, longo):
        return True
    return len(py_palavras(n1) & py_palavras(n2)) >= 2


def py_poder(nome, dados):
    for s in dados.get("socios", []):
        if py_comparar(nome, s.get("nome", "")):
            return True, s.get("qualificacao")
        rep = s.get("nome_representante", "")
        if rep and py_comparar(nome, rep):
            return True, s.get("qualificacao_representante")
    return False, None


PODERES = ("administrador", "diretor", "presidente", "socio gerente", "titular", "socio comanditado")


def py_administra(qualificacao):
    """Whether a registry qualification administers or represents the company
    ("49-Sócio-Administrador", "Sócio Gerente", "DIRETOR")."""
    t = py_norm(qualificacao or "")
    t = re.sub(r"^\d+\s*-", "", t)
    t = " ".join(re.sub(r"[-_]", " ", t).split())
    return any(p in t for p in PODERES)


def py_limpar(cnpj):
    return "".join(c for c in cnpj if c.isdigit()) if cnpj else ""


def py_validar_assinaturas(assinaturas, cache):
    out = []
    for ass in assinaturas:
        nome = ass.nome_signatario
        if not nome or nome == "N/A":
            out.append(
                AssinaturaVerificada(
                    nome_signatario="(não identificado)",
                    tipo_assinatura=ass.tipo_assinatura,
                    campos=[
                        CampoVerificado(
                            campo="Identificação",
                            status="nao_verificado",
                            mensagem="Signatário não identificado",
                        )
                    ],
                    problemas=["Signatário não identificado"],
                )
            )
            continue
        if "testemunha" in py_norm(ass.tipo_assinatura or "") or "testemunha" in py_norm(ass.cargo or ""):
            out.append(
                AssinaturaVerificada(
                    nome_signatario=nome,
                    cargo=ass.cargo,
                    empresa_representada=ass.empresa_representada,
                    cnpj_empresa=ass.cnpj_empresa,
                    tipo_assinatura=ass.tipo_assinatura,
                    campos=[
                        CampoVerificado(
                            campo="Identificação",
                            status="nao_verificado",
                            mensagem="Testemunha: poder de assinatura não exigido",
                        )
                    ],
                )
            )
            continue
        dados = None
        if ass.cnpj_empresa:
            dados = cache.get(py_limpar(ass.cnpj_empresa))
        if not dados and ass.empresa_representada:
            dados = cache.get(py_norm(ass.empresa_representada))
        tem, qual, sem_administracao = False, None, False
        if dados:
            tem, qual = py_poder(nome, dados)
            if tem and not py_administra(qual):
                tem, sem_administracao = False, True
        else:
            for rec in cache.values():
                ok, q = py_poder(nome, rec)
                if not ok:
                    continue
                if py_administra(q):
                    tem, sem_administracao, qual, dados = True, False, q, rec
                    break
                if not sem_administracao:
                    sem_administracao, qual, dados = True, q, rec
        problemas = []
        if sem_administracao:
            mostrada = qual or "não informada"
            campo = CampoVerificado(
                campo="Poder de Assinatura",
                status="pendente",
                valor_contrato=nome,
                valor_receita=mostrada,
                mensagem=f"Sócio sem poder de administração no registro "
                f"({mostrada}): verificar a cláusula de administração",
            )
        elif tem:
            campo = CampoVerificado(
                campo="Poder de Assinatura",
                status="aprovado",
                valor_contrato=nome,
                valor_receita=qual or "Encontrado no QSA",
                mensagem=f"Signatário tem poder ({qual or 'Sócio/Admin'})",
            )
        elif dados:
            nomes = [s.get("nome", "") for s in dados.get("socios", [])[:3]]
            campo = CampoVerificado(
                campo="Poder de Assinatura",
                status="reprovado",
                valor_contrato=nome,
                valor_receita=("QSA: " + ", ".join(nomes) + "...") if nomes else "QSA vazio",
                mensagem="Signatário NÃO encontrado no QSA",
            )
            problemas.append("Signatário sem poder de assinatura")
        else:
            campo = CampoVerificado(
                campo="Poder de Assinatura",
                status="pendente",
                valor_contrato=nome,
                mensagem="Não foi possível verificar",
            )
        out.append(
            AssinaturaVerificada(
                nome_signatario=nome,
                cargo=ass.cargo,
                empresa_representada=ass.empresa_representada,
                cnpj_empresa=ass.cnpj_empresa,
                tipo_assinatura=ass.tipo_assinatura,
                campos=[campo],
                tem_poder_assinatura=tem,
                qualificacao_qsa=qual,
                problemas=problemas,
            )
        )
    return out


PRIMEIROS = [
    "José",
    "João",
    "Antônio",
    "Francisco",
    "Luís",
    "Conceição",
    "Márcia",
    "Lúcia",
    "Sebastião",
    "Inês",
    "Ângela",
    "Mônica",
    "Vinícius",
    "Letícia",
    "Cecília",
    "Otávio",
    "Patrícia",
    "Flávio",
    "Débora",
    "Fábio",
]
SOBRENOMES = [
    "Araújo",
    "Gonçalves",
    "Ribeiro",
    "Conceição",
    "Simões",
    "Magalhães",
    "Guimarães",
    "Falcão",
    "Brandão",
    "Estêvão",
    "Nóbrega",
    "Sá Leitão",
    "Assunção",
    "Galvão",
    "Bragança",
    "Lustosa",
    "Peçanha",
    "Quintão",
    "Veríssimo",
    "Damião",
    "Antunes",
    "Valadão",
    "Mourão",
    "Furtado",
]
QUALIFICACOES = ["Sócio-Administrador", "Sócio", "Administrador", "Diretor", "Presidente"]


def registry_name(nome):
    return py_norm(nome).upper()


def sample_cache(rnd):
    cache, records = {}, []
    for i in range(20):
        cnpj = f"{10_000_000 + i * 7919:08d}0001{i % 100:02d}"
        razao = f"{rnd.choice(SOBRENOMES)} {rnd.choice(['Comércio', 'Indústria', 'Serviços'])} {i} Ltda"
        socios = []
        for _ in range(10):
            nome = f"{rnd.choice(PRIMEIROS)} {rnd.choice(SOBRENOMES)} {rnd.choice(SOBRENOMES)}"
            rep = f"{rnd.choice(PRIMEIROS)} {rnd.choice(SOBRENOMES)}" if rnd.random() < 0.3 else ""
            socios.append(
                {
                    "nome": registry_name(nome),
                    "qualificacao": rnd.choice(QUALIFICACOES),
                    "data_entrada": "2015-01-01",
                    "cpf_representante": "",
                    "nome_representante": registry_name(rep),
                    "qualificacao_representante": "Procurador" if rep else "",
                }
            )
        rec = {
            "fonte": "BrasilAPI",
            "cnpj": cnpj,
            "razao_social": registry_name(razao),
            "situacao": "ATIVA",
            "endereco": {},
            "socios": socios,
        }
        records.append((cnpj, razao, rec))
        cache[cnpj] = rec
        cache[py_norm(razao)] = rec
    return cache, records


def sample_signatories(rnd, records):
    out = []
    for i in range(50):
        kind = i % 10
        cnpj, razao, rec = rnd.choice(records)
        if kind == 0:  # witness
            out.append(
                AssinaturaExtraida(
                    nome_signatario=f"{rnd.choice(PRIMEIROS)} {rnd.choice(SOBRENOMES)}",
                    cargo="Testemunha",
                    tipo_assinatura="testemunha",
                )
            )
        elif kind == 1:  # named company, partner of it
            socio = rnd.choice(rec["socios"])
            out.append(
                AssinaturaExtraida(
                    nome_signatario=socio["nome"].title(),
                    cargo="Sócio",
                    cnpj_empresa=cnpj,
                    empresa_representada=razao,
                )
            )
        elif kind == 2:  # no company data, partner of one of the last records: late fallback
            _, _, late = records[rnd.randrange(15, 20)]
            socio = rnd.choice(late["socios"])
            partes = socio["nome"].split()
            out.append(
                AssinaturaExtraida(
                    nome_signatario=f"{partes[0].title()} de {partes[-1].title()}", cargo="Diretora"
                )
            )
        else:  # no company data, listed nowhere: the fallback walks every entry
            nome = f"{rnd.choice(PRIMEIROS)} Xavier {rnd.choice(['Albuquerque', 'Cavalcânti', 'Sampaio'])}"
            out.append(
                AssinaturaExtraida(
                    nome_signatario=nome, cargo="Procurador", empresa_representada="Empresa Não Listada Ltda"
                )
            )
    return out


def bench_validar_assinaturas():
    os.environ.setdefault("OPENAI_API_KEY", "sk-bench")
    rnd = random.Random(11)
    cache, records = sample_cache(rnd)
    assinaturas = sample_signatories(rnd, records)
    checker = ContractChecker("BR", openai_api_key="sk-bench", verbose=False)

    native = checker._validar_assinaturas(assinaturas, cache)
    python = py_validar_assinaturas(assinaturas, cache)
    assert [(a.tem_poder_assinatura, a.qualificacao_qsa) for a in native] == [
        (a.tem_poder_assinatura, a.qualificacao_qsa) for a in python
    ]
    if [a.model_dump() for a in native] != [a.model_dump() for a in python]:
        print("  note: records differ beyond tem_poder/qualificacao")
    com_poder = sum(a.tem_poder_assinatura for a in native)
    print(f"  {len(assinaturas)} signatories, {com_poder} with power, cache of {len(cache)} entries")

    t_py = best_of(lambda: py_validar_assinaturas(assinaturas, cache), 5, 3)
    t_vx = best_of(lambda: checker._validar_assinaturas(assinaturas, cache), 5, 20)
    print(f"  validar_assinaturas: python {t_py * 1e3:.2f} ms, vorlex {t_vx * 1e3:.2f} ms")
    print(f"validar_assinaturas_50x20x10: {t_py / t_vx:.1f}", flush=True)


def main():
    saved = {k: os.environ.get(k) for k in PROVIDER_VARS}
    saved_urls = (cnpj_mod.BRASIL_API_URL, cnpj_mod.RECEITA_WS_URL, cnpj_mod.CASADOSDADOS_API)
    try:
        bench_verificar()
        bench_validar_assinaturas()
    finally:
        cnpj_mod.BRASIL_API_URL, cnpj_mod.RECEITA_WS_URL, cnpj_mod.CASADOSDADOS_API = saved_urls
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


if __name__ == "__main__":
    main()
