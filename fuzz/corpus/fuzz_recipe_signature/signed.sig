{
    "format": 1,
    "key_id": "53e410680acbd4ff",
    "public_key": "kYDf8voh/cec+U5Qj7UwEHOLJoKSXTdqbSLKDJvHzfI=",
    "signature": "A0+Er8VFLvIGlT7M1k0z7Ztnm0NcPbkrHmG1NgBlDpF45aDXShwjkJdjH1CIYNkAAZJWuCVbUmgYaZCDlqXOBg==",
    "signer": "eng"
}
