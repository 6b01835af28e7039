from corvalith import gid
from corvalith.norva.sdk.license_helper import get_license_info
import os
import sys
import subprocess
import json


def init_gid():
    agent = os.getenv("CORVALITH_AGENT")
    if agent == "app_key_gid":
        if sys.platform.startswith("win"):
            ps_cmd = "& tovrind.exe"
            res = subprocess.run(
                ["powershell.exe", "-NoProfile", "-ExecutionPolicy", "Bypass", "-Command", ps_cmd],
                env=os.environ.copy(), capture_output=True, text=True, encoding="utf-8",
            )

        else:
            # Elsewhere the tool runs through the shell and inherits the
            # process environment.
            res = subprocess.run(
                "tovrind",
                shell=True, capture_output=True, text=True, encoding="utf-8",
            )

        # The tool prints one JSON document.

        result = json.loads(res.stdout)
        if result.get("Code", 1) == 0:
            list_values = result.get("Result", None)
            if list_values:
                for dic in list_values:
                    if "Key" in dic and dic["Key"] == "QELTOR_ACCOUNT":
                        user_id = dic.get("Value", None)
                    elif "Key" in dic and dic["Key"] == "QELTOR_CUSTOM_APP_KEY":
                        app_key = dic.get("Value", None)
            if user_id and app_key:
                gid.init(user_id, appkey=app_key)
                return
    user, pw = get_license_info()
    if user and pw:
        gid.init(user, pw)
        return
    user, app_key = get_license_info("CORVALITH_APPKEY_LICENSE")
    if user and app_key:
        gid.init(user, appkey=app_key)


__test__ = {}

# The module corvalith.norva.utils.login written in Python, statement for
# statement and line for line: the benchmark compares the native module's
# init_gid() and its import against this file.
