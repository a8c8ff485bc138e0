import unittest

from sedgec.emit import identity
from sedgec.errors import SedgeErrors
from sedgec.tests.util import VERSIONS, catalogue

MODULE = """\
module tarn load 1
managed SessionManager : Quill::ManagedObject wsdl SessionManager since version1
  method login wsdl Login returns void priv "System.Anonymous" since version1
"""


def with_settings(*lines):
    head, rest = VERSIONS.split("release", 1)
    return head + "".join(f"  {line}\n" for line in lines) + "release" + rest


class IdentityTest(unittest.TestCase):
    def test_settings_override_what_the_namespace_gives(self):
        cases = [
            ((), {"session_cookie": "tarn_session", "product": "tarn-types", "login_methods": []}),
            (("sessionCookie sid", "product p-1", "loginMethods tarn.SessionManager.login"),
             {"session_cookie": "sid", "product": "p-1", "login_methods": ["tarn.SessionManager.login"]}),
        ]
        for lines, expected in cases:
            with self.subTest(lines=lines):
                got = identity.identity(catalogue(MODULE, versions=with_settings(*lines)))
                self.assertEqual({k: got[k] for k in expected}, expected)
                self.assertEqual((got["name"], got["default_namespace"], got["client_name"]),
                                 ("tarn", "tarn", "tarn-http"))

    def test_a_login_method_the_catalogue_lacks_is_an_error(self):
        cat = catalogue(MODULE, versions=with_settings(
            "loginMethods tarn.SessionManager.login tarn.SessionManager.logon"))
        with self.assertRaises(SedgeErrors) as caught:
            identity.files(cat)
        self.assertEqual(len(caught.exception.errors), 1)
        self.assertIn("'tarn.SessionManager.logon'", str(caught.exception))


if __name__ == "__main__":
    unittest.main()
