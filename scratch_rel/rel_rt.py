import quorbell, os
store = quorbell.VectorStorage()
for i in range(600):
    store.upsert(i, [float(i % 7), 1.0] * 64, {"tenant_id": "t"})
store.save("scratch_rel/rel_a.qb")
s2 = quorbell.VectorStorage(); s2.load("scratch_rel/rel_a.qb"); s2.save("scratch_rel/rel_b.qb")
print(open("scratch_rel/rel_a.qb","rb").read() == open("scratch_rel/rel_b.qb","rb").read())
store.upsert(600, [1.0]*128, None); store.load("scratch_rel/rel_a.qb"); store.save("scratch_rel/rel_c.qb")
print(open("scratch_rel/rel_a.qb","rb").read() == open("scratch_rel/rel_c.qb","rb").read())
