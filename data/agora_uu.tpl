reply uuencode
ý
GET þ
