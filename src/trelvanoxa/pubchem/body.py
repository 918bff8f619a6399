"""Reading a response body with a cap on its size, after gzip/deflate decoding too.

The body is streamed and refused as soon as it passes ``MAX_RESPONSE_BYTES``; a compressed body is
inflated here with a bound on the output of every step, so a small "zip bomb" cannot grow in memory.
"""

import zlib

from .parse import _shape_error

# A PUG REST SMILES answer is well under a kilobyte; anything near this is not one.
MAX_RESPONSE_BYTES = 1 << 20


def _too_big(query):
    return ValueError(f"PubChem '{query}' yanıtı çok büyük ({MAX_RESPONSE_BYTES} bayttan fazla)")


def read_body(resp, query):
    """The decoded body, streamed and refused as soon as it passes the size cap."""
    length = resp.headers.get("Content-Length", "").strip()
    if length.isdigit() and int(length) > MAX_RESPONSE_BYTES:
        raise _too_big(query)
    coding = resp.headers.get("Content-Encoding", "identity").strip().lower()
    if coding in ("", "identity"):
        inflater = None
    elif coding in ("gzip", "x-gzip", "deflate"):
        inflater = zlib.decompressobj(32 + zlib.MAX_WBITS)  # gzip or zlib header
    else:
        raise _shape_error(query, f"desteklenmeyen içerik kodlaması {coding!r}")
    body, received = bytearray(), 0
    while True:
        chunk = resp.raw.read(64 * 1024, decode_content=False)
        if not chunk:
            break
        received += len(chunk)
        if received > MAX_RESPONSE_BYTES:
            raise _too_big(query)
        if inflater is None:
            body += chunk
        else:
            try:
                body += inflater.decompress(chunk, MAX_RESPONSE_BYTES + 1 - len(body))
            except zlib.error as err:
                raise _shape_error(query, f"bozuk {coding} verisi ({err})") from None
            if inflater.unconsumed_tail:
                raise _too_big(query)
        if len(body) > MAX_RESPONSE_BYTES:
            raise _too_big(query)
    if inflater is not None:
        if not inflater.eof:
            raise _shape_error(query, f"eksik {coding} verisi")
        if inflater.unused_data:
            raise _shape_error(query, f"{coding} verisinden sonra fazladan bayt")
    return bytes(body)
