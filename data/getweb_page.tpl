begin
GET þ
source þ
end
