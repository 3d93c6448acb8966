"""The release signed with Authenticode: tools/release given a code-signing
certificate from a throwaway CA signs the program, reproducibly; the
signature verifies against that CA, and the signed program still runs and
keeps its version information and manifest. The program's header: what it
imports, and its Terminal Server mark."""

import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
import zipfile

from workstation import SOURCE_ROOT, WorkstationTestCase, tool_exe

RELEASE = os.path.join(SOURCE_ROOT, "tools", "release")
BUILT = os.path.join(SOURCE_ROOT, "build", "release", "T-Vornik.exe")


def section(path, name):
    """The raw bytes of one section of a PE file."""
    with open(path, "rb") as f:
        data = f.read()
    header = struct.unpack_from("<I", data, 0x3C)[0]
    count, optional = struct.unpack_from("<H12xH", data, header + 6)
    table = header + 24 + optional
    for i in range(count):
        entry = table + 40 * i
        if data[entry:entry + 8].rstrip(b"\0") == name:
            size, offset = struct.unpack_from("<II", data, entry + 16)
            return data[offset:offset + size]
    raise AssertionError("no section %r in %s" % (name, path))


class SignedRelease(WorkstationTestCase):

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="vornik-sign-")
        self.addCleanup(shutil.rmtree, self.scratch, True)

    def openssl(self, *args):
        subprocess.run(["openssl"] + list(args), cwd=self.scratch, check=True, capture_output=True)

    def make_certificate(self):
        """A throwaway CA and a code-signing certificate it issued, as PKCS#12
        with a password; answers (CA file, PKCS#12 file, password file)."""
        self.openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.crt",
                     "-days", "2", "-subj", "/CN=T-Vornik Test CA",
                     "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign")
        self.openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "signer.key", "-out", "signer.csr",
                     "-subj", "/CN=T-Vornik Test Signer")
        with open(os.path.join(self.scratch, "signer.ext"), "w") as f:
            f.write("keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
        self.openssl("x509", "-req", "-in", "signer.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
                     "-days", "2", "-extfile", "signer.ext", "-out", "signer.crt")
        self.openssl("pkcs12", "-export", "-in", "signer.crt", "-inkey", "signer.key", "-certfile", "ca.crt",
                     "-out", "signer.p12", "-passout", "pass:not a secret")
        with open(os.path.join(self.scratch, "password"), "w") as f:
            f.write("not a secret")
        return tuple(os.path.join(self.scratch, name) for name in ("ca.crt", "signer.p12", "password"))

    def release(self, *args, env=None):
        out = subprocess.run([RELEASE] + list(args), capture_output=True, env=env, timeout=600)
        self.assertEqual(out.returncode, 0, (out.stdout + out.stderr).decode(errors="replace"))
        return out.stdout.decode(errors="replace")

    def test_a_release_signed_with_a_test_certificate_verifies_runs_and_keeps_its_version(self):
        ca, p12, password = self.make_certificate()
        said = self.release()
        self.assertIn("is not signed", said)
        # Stripped, its debug information beside it in the build folder; the zip holds the quick start, CRLF.
        sections = [subprocess.run(["i686-w64-mingw32-objdump", "-h", path], capture_output=True, check=True)
                    .stdout.decode() for path in (BUILT, BUILT[:-4] + ".debug")]
        self.assertTrue(".debug_" not in sections[0] and ".gnu_debuglink" in sections[0] and ".debug_info" in sections[1])
        zipped = zipfile.ZipFile(os.path.join(os.path.dirname(BUILT), "T-Vornik-1.00.9340-win32.zip"))
        quick = zipped.read("T-Vornik-QuickStart.txt")
        self.assertEqual(quick.count(b"\n"), quick.count(b"\r\n"))
        self.assertTrue(all(text in quick for text in (b"/REPORTONLY", b"unattended.cmd", b"3010", b"T-Vornik.log")))
        unsigned = os.path.join(self.scratch, "unsigned.exe")
        shutil.copy(BUILT, unsigned)

        # Signed twice, from two folders, at one signing time: the same bytes.
        env = dict(os.environ, VORNIK_SIGN_CERT=p12, VORNIK_SIGN_TIME="1765000000")
        said = self.release("--check", "--password-file", password, env=env)
        self.assertIn("same T-Vornik.exe", said)
        self.assertIn("is signed with", said)

        verify = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", BUILT], capture_output=True)
        self.assertEqual(verify.returncode, 0, (verify.stdout + verify.stderr).decode(errors="replace"))
        other_ca = self.scratch + "/other"
        os.mkdir(other_ca)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "o.key", "-out",
                        "o.crt", "-days", "2", "-subj", "/CN=Another CA"], cwd=other_ca, check=True,
                       capture_output=True)
        forged = subprocess.run(["osslsigncode", "verify", "-CAfile", other_ca + "/o.crt", "-in", BUILT],
                                capture_output=True)
        self.assertNotEqual(forged.returncode, 0, "verified against a CA that did not issue the certificate")

        # The version information and the manifest are untouched.
        self.assertEqual(section(BUILT, b".rsrc"), section(unsigned, b".rsrc"))
        self.assertEqual(section(BUILT, b".text"), section(unsigned, b".text"))

        ws = self.workstation()
        with open(BUILT, "rb") as f:
            ws.plant_file("C:\\Tools\\T-Vornik.exe", f.read())
        result = ws.run_program("C:\\Tools\\T-Vornik.exe", "/VER", timeout=60)
        self.assertEqual((result.exit_code, result.stdout), (0, b"T-Vornik v1.00.9340\r\n"))

        # Leave the release folder as an unsigned release would.
        self.release()


class ProgramHeader(unittest.TestCase):

    def test_imports_only_the_systems_known_libraries_and_is_terminal_server_aware(self):
        # The loader finds each import by name before the tool's first instruction: only the system's known
        # libraries may be imported, none delay-loaded; any other is loaded at run time from the system folder.
        header = subprocess.run(["i686-w64-mingw32-objdump", "-p", tool_exe()], capture_output=True,
                                check=True).stdout.decode()
        self.assertEqual(sorted(name.upper() for name in re.findall(r"DLL Name: (\S+)", header)),
                         ["ADVAPI32.DLL", "KERNEL32.DLL", "MSVCRT.DLL", "USER32.DLL"])
        self.assertIn("Entry d 00000000 00000000 Delay Import Directory", header)
        self.assertTrue(int(re.search(r"DllCharacteristics\s+([0-9a-f]+)", header).group(1), 16) & 0x8000)


if __name__ == "__main__":
    unittest.main()
