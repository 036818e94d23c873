-- wrk: every request posts the same accepted submission.
wrk.method = "POST"
wrk.body = "name=Ann&email=ann%40example.org&subject=Hello&message=Hi+there"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
