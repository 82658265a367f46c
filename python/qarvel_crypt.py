"""Digest helper: the fingerprint of a statement is the MD5 of its text."""

import hashlib

__all__ = ["QarvelCrypt"]


class QarvelCrypt:
    def md5_encrypt(self, text):
        """Lower-case hexadecimal MD5 of the UTF-8 encoding of ``text``.

        Lone surrogates are encoded as they stand (``surrogatepass``), so every
        distinct ``str`` has a digest and distinct texts keep distinct ones.
        """
        if not isinstance(text, str):
            raise TypeError(
                f"md5_encrypt() argument must be str, not {type(text).__name__}")
        data = text.encode("utf-8", "surrogatepass")
        return hashlib.md5(data, usedforsecurity=False).hexdigest()
