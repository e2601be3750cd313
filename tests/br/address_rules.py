"""The address rules written plainly in Python with `re`: the oracle of the differential
tests and the baseline of the address benchmark.

Normalisation, in order:
  1. NFD without Mn marks, lower case, stripped; runs of white space become one blank;
     "°" and "ª" are written "º"; a dot or dash between digits goes; "s/n" (and "sem
     número") becomes "sn"; each of . , ; : - / \\ becomes a blank.
  2. "estado de <state name>" becomes the state's code.
  3. Each run of \\w is split between digits and other characters (an ordinal mark
     stays with its digits), and each piece is rewritten by the word table.
  4. (analysis happens here: house number, units, CEP)
  5. The house-number marks go ("numero", "nro", "num" as words; a word-initial n,
     nº or no with the blanks after it); the ordinal mark after digits goes; stripped.
"""

import re
import unicodedata

TABLE = {
    "rua": "r",
    "avenida": "av",
    "avd": "av",
    "avda": "av",
    "alameda": "al",
    "travessa": "tv",
    "trav": "tv",
    "praca": "pc",
    "pracas": "pc",
    "pca": "pc",
    "estrada": "est",
    "estr": "est",
    "rodovia": "rod",
    "largo": "lg",
    "lgo": "lg",
    "edificio": "ed",
    "edif": "ed",
    "predio": "ed",
    "conjunto": "cj",
    "conj": "cj",
    "sala": "sl",
    "andar": "and",
    "quadra": "qd",
    "qda": "qd",
    "lote": "lt",
    "setor": "st",
    "bloco": "bl",
    "blc": "bl",
    "apartamento": "apt",
    "apto": "apt",
    "ap": "apt",
    "loja": "lj",
    "jardim": "jd",
    "bairro": "",
    "cep": "",
    "cidade": "",
    "municipio": "",
    "estado": "",
    "primeiro": "1º",
    "primeira": "1º",
    "segundo": "2º",
    "segunda": "2º",
    "terceiro": "3º",
    "terceira": "3º",
    "quarto": "4º",
    "quarta": "4º",
    "quinto": "5º",
    "quinta": "5º",
    "sexto": "6º",
    "sexta": "6º",
    "setimo": "7º",
    "setima": "7º",
    "oitavo": "8º",
    "oitava": "8º",
    "nono": "9º",
    "nona": "9º",
    "decimo": "10º",
    "decima": "10º",
}
STATES = {
    "acre": "ac",
    "alagoas": "al",
    "amapa": "ap",
    "amazonas": "am",
    "bahia": "ba",
    "ceara": "ce",
    "distrito federal": "df",
    "espirito santo": "es",
    "goias": "go",
    "maranhao": "ma",
    "mato grosso do sul": "ms",
    "mato grosso": "mt",
    "minas gerais": "mg",
    "para": "pa",
    "paraiba": "pb",
    "parana": "pr",
    "pernambuco": "pe",
    "piaui": "pi",
    "rio de janeiro": "rj",
    "rio grande do norte": "rn",
    "rio grande do sul": "rs",
    "rondonia": "ro",
    "roraima": "rr",
    "santa catarina": "sc",
    "sao paulo": "sp",
    "sergipe": "se",
    "tocantins": "to",
}
MARKS = {"n", "nº", "no", "numero", "nro", "num"}
STREET_TYPES = {"r", "av", "al", "tv", "pc", "est", "rod", "lg", "via", "beco", "viela"}
UNITS = {"sl", "apt", "bl", "lj", "cj", "and", "qd", "lt"}
COMPLEMENT = UNITS | {
    "ed",
    "casa",
    "subsolo",
    "terreo",
    "fundos",
    "frente",
    "sobreloja",
    "cobertura",
    "galpao",
    "box",
    "anexo",
    "mezanino",
    "km",
}
STOP = COMPLEMENT | MARKS | {"sn", "jd", "st"}
KEYS = ["logradouro", "numero", "complemento", "bairro", "cidade", "uf", "cep"]

_states = "|".join(n.replace(" ", " +") for n in sorted(STATES, key=lambda s: -len(s.split())))
_STATE = re.compile(r"\bestado +(?:(?:de|do|da) +)?(" + _states + r")\b")


def _stage(e):
    t = "".join(c for c in unicodedata.normalize("NFD", e) if unicodedata.category(c) != "Mn")
    t = t.lower().strip()
    t = re.sub(r"\s+", " ", t)
    t = re.sub(r"[°ª]", "º", t)
    t = re.sub(r"(?<=\d)[.\-](?=\d)", "", t)
    t = re.sub(r"\bs/n[ºo]?(?!\w)|\bsem (?:numero|n[ºo]?)(?!\w)", "sn", t)
    t = re.sub(r"[.,;:\-/\\]", " ", t)
    t = _STATE.sub(lambda m: STATES[re.sub(" +", " ", m.group(1))], t)

    def run(m):
        return " ".join(TABLE.get(p, p) for p in re.findall(r"\d+º?|\D+", m.group()))

    return re.sub(r"\w+", run, t)


def _finish(t):
    t = re.sub(r"\b(?:numero|nro|num)\b\s*|\bn[ºo]?\s*", "", t)
    t = re.sub(r"(?<=\d)º", "", t)
    return t.strip()


def normalizar(e):
    return _finish(_stage(e)) if e else ""


def _number(t):
    return str(int(t[:-1] if t.endswith("º") else t))


def _value_like(t):
    return bool(re.fullmatch(r"\d+º?", t)) or (len(t) <= 2 and t.isalpha())


def analyse(e):
    """(normalised text, house number, units {unit: {values}}, CEP, names a complement)."""
    if not e:
        return "", None, {}, None, False
    staged = _stage(e)
    tok = staged.split()
    casa = None
    for i in range(len(tok) - 1):
        if tok[i] in MARKS and tok[i + 1].isdecimal():
            casa = _number(tok[i + 1])
            break
    if casa is None:
        for i, t in enumerate(tok):
            if t in STREET_TYPES:
                nome = False
                for u in tok[i + 1 :]:
                    if u.isdecimal():
                        if nome:
                            casa = _number(u)
                            break
                        nome = True
                    elif u in STOP:
                        break
                    else:
                        nome = True
                break
    unidades = {}
    for i, t in enumerate(tok):
        if t not in UNITS:
            continue
        nxt = tok[i + 1] if i + 1 < len(tok) else ""
        prv = tok[i - 1] if i else ""
        v = None
        if t == "and":
            if re.fullmatch(r"\d+º?", nxt):
                v = nxt
            elif re.fullmatch(r"\d+º?", prv):
                v = prv
        elif _value_like(nxt):
            v = nxt
        if v is not None:
            unidades.setdefault(t, set()).add(_number(v) if v[0].isdecimal() else v)
    cep = next((str(int(t)).zfill(8) for t in tok if len(t) == 8 and t.isdecimal()), None)
    return _finish(staged), casa, unidades, cep, any(t in COMPLEMENT for t in tok)


def _words(t):
    return {w for w in t.split() if len(w) > 2 or w.isdecimal()}


def _contains(big, small):
    if not small:
        return False
    start = big.find(small)
    while start >= 0:
        end = start + len(small)
        if (start == 0 or big[start - 1] == " ") and (end == len(big) or big[end] == " "):
            return True
        start = big.find(small, start + 1)
    return False


def _score(a, b):
    if a == b:
        return True, 1.0
    if _contains(b, a) or _contains(a, b):
        return True, 0.9
    pa, pb = _words(a), _words(b)
    if not pa or not pb:
        return False, 0.0
    return None, len(pa & pb) / len(pa | pb)


def as_text(v, key):
    """A registry value as text: numbers in decimal (a CEP with its eight digits), anything
    that is not text or a number counts as absent."""
    if isinstance(v, bool) or v is None:
        return ""
    if isinstance(v, str):
        return v
    if isinstance(v, float):
        if v != v or v in (float("inf"), float("-inf")):
            return ""
        if not v.is_integer():
            return repr(v)
        v = int(v)
    if isinstance(v, int):
        s = str(int(v))
        return s.zfill(8) if key == "cep" and 0 <= v <= 99999999 else s
    return ""


def comparar(contrato, dados, threshold=0.85):
    if not contrato or not dados:
        return (False, 0.0, "")
    end = dados.get("endereco", {})
    if not hasattr(end, "get"):
        end = {}
    partes = {k: as_text(end.get(k), k) for k in KEYS}
    receita = " ".join(partes[k] for k in KEYS if partes[k])
    if not receita:
        return (False, 0.0, "")
    a, casa, unidades, cep, complemento = analyse(contrato)
    if not a:
        return (False, 0.0, receita)
    b, _, unidades_r, _, _ = analyse(receita)
    kind, sim = _score(a, b)
    if partes["complemento"] and not complemento:
        sem = " ".join(partes[k] for k in KEYS if partes[k] and k != "complemento")
        kind2, sim2 = _score(a, analyse(sem)[0])
        if sim2 > sim:
            kind, sim = kind2, sim2
    ok = kind is True or (kind is None and sim >= threshold)
    num_r = analyse(partes["numero"])[0].split()
    if casa is not None and len(num_r) == 1 and num_r[0].isdecimal() and _number(num_r[0]) != casa:
        ok = False
    cep_r = analyse(partes["cep"])[0].split()
    if (
        cep is not None
        and len(cep_r) == 1
        and len(cep_r[0]) == 8
        and cep_r[0].isdecimal()
        and str(int(cep_r[0])).zfill(8) != cep
    ):
        ok = False
    for u, vs in unidades.items():
        if u in unidades_r and not vs <= unidades_r[u]:
            ok = False
    return (ok, sim, receita)
