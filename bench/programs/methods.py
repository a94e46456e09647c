n = 300000
# Method calls on class instances; each call returns a new instance.


class Vec:
    def __init__(self, x, y):
        self.x = x
        self.y = y

    def add(self, other):
        return Vec(self.x + other.x, self.y + other.y)

    def scale(self, k):
        return Vec(self.x * k, self.y * k)

    def dot(self, other):
        return self.x * other.x + self.y * other.y


def walk(steps):
    pos = Vec(0, 0)
    step = Vec(1, 2)
    acc = 0
    for i in range(steps):
        pos = pos.add(step.scale(i % 3))
        acc = (acc + pos.dot(step)) % 1000003
    return acc


print(walk(n))
