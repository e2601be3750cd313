"""Benchmarks of the Brazilian modules against straightforward Python implementations
of the same rules, in one process.

    keyword_screen_1mb        validar_documento_contrato on 1 MB of accented Portuguese
    comparar_enderecos_10k    10,000 address pairs
    validar_cnpj_100k         100,000 CNPJ numbers
    validar_cnpj_alfanumerico_100k   100,000 numbers, half of them alphanumeric
    keyword_screen_2_threads  two 1 MB texts: one thread screening both / two threads at once

Each line `name: ratio` is baseline time / Vorlex time (higher is better); the
thread line is single-thread time / two-thread time.
"""

import pathlib
import random
import re
import sys
import threading
import time
import unicodedata

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from _common import best_of
from br import address_rules
from vorlex.contract.countries.br import (
    cnpj as C,
    keywords as K,
)

# -- Python baselines -------------------------------------------------------------------------


def py_normalizar_texto(texto):
    if not texto:
        return ""
    nfkd = unicodedata.normalize("NFD", texto)
    return "".join(c for c in nfkd if unicodedata.category(c) != "Mn").lower()


def py_validar_documento_contrato(texto):
    if not texto:
        return (False, 0, [])
    texto_norm = py_normalizar_texto(texto)
    for kw in K.KEYWORDS_EXCLUSAO:
        if py_normalizar_texto(kw) in texto_norm:
            return (False, 0, [f"EXCLUSÃO: {kw}"])
    encontradas = [kw for kw in K.KEYWORDS_VALIDACAO if py_normalizar_texto(kw) in texto_norm]
    return (len(encontradas) >= K.MIN_KEYWORDS, len(encontradas), encontradas)


# The address rules written plainly with re: the same oracle the tests compare with.
py_comparar_enderecos = address_rules.comparar


def py_limpar_cnpj(cnpj):
    return re.sub(r"\D", "", cnpj) if cnpj else ""


def py_digito(base, pesos):
    resto = sum(int(d) * p for d, p in zip(base, pesos, strict=True)) % 11
    return "0" if resto < 2 else str(11 - resto)


def py_validar_cnpj(cnpj):
    c = py_limpar_cnpj(cnpj)
    if len(c) != 14 or c == c[0] * 14:
        return False
    d1 = py_digito(c[:12], [5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2])
    d2 = py_digito(c[:13], [6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2])
    return c[12:] == d1 + d2


def py_limpar_cnpj_alfanumerico(cnpj):
    return re.sub(r"[^0-9A-Z]", "", cnpj.upper()) if cnpj else ""


def py_digito_alfanumerico(base, pesos):
    resto = sum((ord(ch) - 48) * p for ch, p in zip(base, pesos, strict=True)) % 11
    return "0" if resto < 2 else str(11 - resto)


def py_validar_cnpj_alfanumerico(cnpj):
    c = py_limpar_cnpj_alfanumerico(cnpj)
    if not re.fullmatch(r"[0-9A-Z]{12}[0-9]{2}", c) or c == c[0] * 14:
        return False
    d1 = py_digito_alfanumerico(c[:12], [5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2])
    d2 = py_digito_alfanumerico(c[:13], [6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2])
    return c[12:] == d1 + d2


# -- inputs ----------------------------------------------------------------------------------------

WORDS = [
    "contrato",
    "de",
    "prestação",
    "de",
    "serviços",
    "técnicos",
    "especializados",
    "entre",
    "as",
    "partes",
    "contratante",
    "e",
    "contratada",
    "inscrita",
    "no",
    "CNPJ",
    "sob",
    "o",
    "número",
    "neste",
    "ato",
    "representada",
    "por",
    "seu",
    "sócio",
    "administrador",
    "cláusula",
    "primeira",
    "do",
    "objeto",
    "a",
    "contratada",
    "obriga-se",
    "à",
    "execução",
    "dos",
    "serviços",
    "descritos",
    "no",
    "anexo",
    "cláusula",
    "segunda",
    "da",
    "vigência",
    "o",
    "presente",
    "instrumento",
    "vigorará",
    "por",
    "doze",
    "meses",
    "cláusula",
    "terceira",
    "do",
    "valor",
    "e",
    "da",
    "forma",
    "de",
    "pagamento",
    "as",
    "obrigações",
    "das",
    "partes",
    "serão",
    "cumpridas",
    "até",
    "o",
    "término",
    "da",
    "vigência",
    "rescisão",
    "por",
    "descumprimento",
    "de",
    "qualquer",
    "obrigação",
    "elegem",
    "o",
    "foro",
    "da",
    "comarca",
    "de",
    "São",
    "Paulo",
    "para",
    "dirimir",
    "questões",
    "oriundas",
    "deste",
    "contrato",
    "e",
    "por",
    "estarem",
    "justas",
    "e",
    "contratadas",
    "assinam",
    "testemunhas",
    "através",
    "de",
    "certificado",
    "digital",
    "ICP-Brasil",
    "Município",
    "Estado",
    "Federação",
    "região",
    "jurídico",
]


def portuguese_text(size, seed):
    rnd = random.Random(seed)
    out, n = [], 0
    while n < size:
        w = rnd.choice(WORDS)
        if rnd.random() < 0.1:
            w = w.capitalize()
        out.append(w)
        n += len(w) + 1
    return " ".join(out)[:size]


STREETS = ["Rua", "Avenida", "Av.", "Travessa", "Praça", "R.", "Alameda", "Estrada"]
NAMES = [
    "Paulista",
    "das Flores",
    "São João",
    "Brigadeiro Faria Lima",
    "Nova Esperança",
    "Dom Pedro II",
    "XV de Novembro",
    "Getúlio Vargas",
    "Ipiranga",
    "Consolação",
]
BAIRROS = ["Bela Vista", "Centro", "Jardim América", "Vila Mariana", "Pinheiros", "Boa Viagem"]
CIDADES = [("São Paulo", "SP"), ("Rio de Janeiro", "RJ"), ("Recife", "PE"), ("Curitiba", "PR")]


def address_pairs(n, seed):
    """Contract phrasings (marks, complements, ordinals, filler phrases, s/n) against
    registry records written as the services write them (abbreviated types, run-together
    complements, punctuated CEPs), about half of them the same place."""
    rnd = random.Random(seed)
    pairs = []
    for _ in range(n):
        street, name = rnd.choice(STREETS), rnd.choice(NAMES)
        num = str(rnd.randint(1, 3000))
        bairro = rnd.choice(BAIRROS)
        cidade, uf = rnd.choice(CIDADES)
        cep = f"{rnd.randint(1000000, 99999999):08d}"
        sala = rnd.randint(1, 99)
        mark = rnd.choice(["nº ", "n. ", "número ", "", "n.º "])
        compl = rnd.choice(
            [f"Sala {sala}, ", f"apto. {sala}, ", f"{sala}º andar, ", f"Quadra {sala}, Lote 7E, ", "", ""]
        )
        fim = rnd.choice(
            [f"{cidade} - {uf}", f"na Cidade de {cidade}, Estado de São Paulo", f"{cidade}/{uf}"]
        )
        contrato = f"{street} {name}, {mark}{num}, {compl}{bairro}, {fim}, CEP {cep[:5]}-{cep[5:]}"
        same = rnd.random() < 0.5
        dados = {
            "endereco": {
                "logradouro": (street.rstrip(".").upper()[:2] + " " + name.upper())
                if same
                else "R " + rnd.choice(NAMES).upper(),
                "numero": num if same or rnd.random() < 0.5 else str(rnd.randint(1, 3000)),
                "complemento": rnd.choice(
                    [f"SALA {sala}", f"APT {sala}", f"ANDAR {sala}", f"QUADRA{sala} LOTE 7E", ""]
                ),
                "bairro": bairro.upper(),
                "cidade": cidade.upper(),
                "uf": uf,
                "cep": rnd.choice([cep, f"{cep[:2]}.{cep[2:5]}-{cep[5:]}", int(cep)]),
            }
        }
        pairs.append((contrato, dados))
    return pairs


def cnpj_numbers(n, seed):
    rnd = random.Random(seed)
    out = []
    for i in range(n):
        base = "".join(rnd.choice("0123456789") for _ in range(12))
        d1 = py_digito(base, [5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2])
        full = base + d1 + py_digito(base + d1, [6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2])
        if i % 3 == 0:
            full = full[:13] + str((int(full[13]) + 1) % 10)  # a third are invalid
        if i % 2 == 0:
            full = f"{full[:2]}.{full[2:5]}.{full[5:8]}/{full[8:12]}-{full[12:]}"
        out.append(full)
    return out


def cnpj_alfanumericos(n, seed):
    """Half numeric (as cnpj_numbers), half with letters among the first twelve."""
    rnd = random.Random(seed)
    out = []
    for i, numerico in enumerate(cnpj_numbers(n, seed)):
        if i % 2:
            out.append(numerico)
            continue
        base = "".join(rnd.choice("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ") for _ in range(12))
        d1 = py_digito_alfanumerico(base, [5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2])
        full = base + d1 + py_digito_alfanumerico(base + d1, [6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2])
        if i % 3 == 0:
            full = full[:13] + str((int(full[13]) + 1) % 10)
        if i % 4 == 0:
            full = f"{full[:2]}.{full[2:5]}.{full[5:8]}/{full[8:12]}-{full[12:]}".lower()
        out.append(full)
    return out


# -- measuring ---------------------------------------------------------------------------------------


def report(name, baseline, native):
    print(f"  {name}: baseline {baseline * 1e3:.2f} ms, vorlex {native * 1e3:.2f} ms")
    print(f"{name}: {baseline / native:.1f}", flush=True)


def main():
    text = portuguese_text(1_000_000, 1)
    assert K.validar_documento_contrato(text) == py_validar_documento_contrato(text)
    report(
        "keyword_screen_1mb",
        best_of(lambda: py_validar_documento_contrato(text), 3),
        best_of(lambda: K.validar_documento_contrato(text), 15),
    )

    pairs = address_pairs(10_000, 2)
    assert [C.comparar_enderecos(a, d) for a, d in pairs[:2000]] == [
        py_comparar_enderecos(a, d) for a, d in pairs[:2000]
    ]
    report(
        "comparar_enderecos_10k",
        best_of(lambda: [py_comparar_enderecos(a, d) for a, d in pairs], 3),
        best_of(lambda: [C.comparar_enderecos(a, d) for a, d in pairs], 5),
    )

    numbers = cnpj_numbers(100_000, 3)
    assert [C.validar_cnpj(x) for x in numbers] == [py_validar_cnpj(x) for x in numbers]
    report(
        "validar_cnpj_100k",
        best_of(lambda: [py_validar_cnpj(x) for x in numbers], 3),
        best_of(lambda: [C.validar_cnpj(x) for x in numbers], 5),
    )

    mixed = cnpj_alfanumericos(100_000, 5)
    assert [C.validar_cnpj_alfanumerico(x) for x in mixed] == [py_validar_cnpj_alfanumerico(x) for x in mixed]
    report(
        "validar_cnpj_alfanumerico_100k",
        best_of(lambda: [py_validar_cnpj_alfanumerico(x) for x in mixed], 3),
        best_of(lambda: [C.validar_cnpj_alfanumerico(x) for x in mixed], 5),
    )

    texts = [portuguese_text(1_000_000, 4), portuguese_text(1_000_000, 5)]
    rounds = 2

    def one_thread():
        for _ in range(rounds):
            for t in texts:
                K.validar_documento_contrato(t)

    def two_threads():
        def work(t):
            for _ in range(rounds):
                K.validar_documento_contrato(t)

        threads = [threading.Thread(target=work, args=(t,)) for t in texts]
        for th in threads:
            th.start()
        for th in threads:
            th.join()

    for t in texts:
        K.validar_documento_contrato(t)  # warm: UTF-8 forms cached on the str objects
    # Alternate the two ways, many short runs, and keep the best of each: a burst of
    # load from elsewhere on the machine then lands on both sides alike.
    single = double = float("inf")
    cpu_double = 0.0
    for _ in range(150):
        single = min(single, best_of(one_thread, 1))
        c0 = time.process_time()
        d = best_of(two_threads, 1)
        if d < double:
            double, cpu_double = d, time.process_time() - c0
    print(
        f"  keyword_screen_2_threads: one thread {single * 1e3:.1f} ms, two threads {double * 1e3:.1f} ms "
        f"(CPU {cpu_double * 1e3:.1f} ms in the two-thread run)"
    )
    print(f"keyword_screen_2_threads: {single / double:.2f}", flush=True)


if __name__ == "__main__":
    main()
