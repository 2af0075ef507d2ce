reply mime
ý
GET þ
