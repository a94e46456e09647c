n = 13
# Allocation-heavy recursion: binary trees of objects built and walked over and over, next to one tree
# that lives for the whole run (the classic binary-trees benchmark).


class Node:
    def __init__(self, left, right):
        self.left = left
        self.right = right

    def check(self):
        if self.left is None:
            return 1
        return 1 + self.left.check() + self.right.check()


def tree(depth):
    if depth == 0:
        return Node(None, None)
    return Node(tree(depth - 1), tree(depth - 1))


def run(depth):
    min_depth = 4
    max_depth = max(min_depth + 2, depth)
    stretch = tree(max_depth + 1).check()
    print(f'"stretch tree of depth {max_depth + 1}: check {stretch}"')
    long_lived = tree(max_depth)
    for d in range(min_depth, max_depth + 1, 2):
        iterations = 2 ** (max_depth - d + min_depth)
        check = 0
        for i in range(iterations):
            check += tree(d).check()
        print(f'"{iterations} trees of depth {d}: check {check}"')
    print(f'"long-lived tree of depth {max_depth}: check {long_lived.check()}"')


run(n)
