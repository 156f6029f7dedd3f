import { useState } from "react";
import { Link, useNavigate } from "react-router-dom";
import { createTreeForEditing, deleteTree } from "../api/edit";
import { keys, useEngineMutation, useProducts } from "../api/queries";
import type { ProductRow, Role } from "../api/types";
import { hasRole } from "../auth/roles";
import { ConfirmDialog } from "../components/ConfirmDialog";
import { ErrorNotice } from "../components/ErrorNotice";
import { editorPath, previewPath } from "../editor/paths";
import { CopyTreeDialog } from "./CopyTreeDialog";
import { describeState, matchesState, type StateFilter } from "./filters";

interface Props {
  search: string;
  state: StateFilter;
  me: string;
  role: Role | undefined;
}

export function ProductsTable({ search, state, me, role }: Props) {
  const products = useProducts(search.trim());
  const navigate = useNavigate();
  const [copyInto, setCopyInto] = useState<ProductRow | null>(null);
  const [deleting, setDeleting] = useState<ProductRow | null>(null);
  const create = useEngineMutation(
    (id: number) => createTreeForEditing({ treeType: 1, id }),
    (id) => [keys.tree(1, id)],
  );
  const remove = useEngineMutation(
    (id: number) => deleteTree({ treeType: 1, id }),
    (id) => [keys.tree(1, id)],
  );
  const rows = (products.data ?? []).filter((p) => matchesState(p.tree, state, me));
  const author = hasRole(role, "author");

  return (
    <section aria-labelledby="products-title">
      <h2 id="products-title">Products</h2>
      <ErrorNotice error={products.error} />
      <ErrorNotice error={create.error} />
      {products.isPending ? <p role="status">Loading products…</p> : null}
      {products.data && products.data.length === 0 && !search ? (
        <p>The catalog has no products yet. An administrator loads them with the catalog.</p>
      ) : null}
      {products.data && rows.length === 0 && (search || state !== "all") ? (
        <p>No product matches. Change the search or the state shown.</p>
      ) : null}
      {rows.length > 0 ? (
        <table className="list">
          <thead>
            <tr>
              <th scope="col">Product</th>
              <th scope="col">Number</th>
              <th scope="col">Tree</th>
              <th scope="col">Actions</th>
            </tr>
          </thead>
          <tbody>
            {rows.map((p) => (
              <tr key={p.id}>
                <th scope="row">
                  {p.tree ? <Link to={editorPath({ treeType: 1, id: p.id })}>{p.description}</Link> : p.description}
                </th>
                <td>{p.id}</td>
                <td className={`state ${p.tree ? (p.tree.checkedOutBy ? "state-held" : "") : "state-none"}`}>
                  {describeState(p.tree, me)}
                </td>
                <td>
                  <div className="row">
                    {p.tree ? (
                      <>
                        <Link className="button" to={editorPath({ treeType: 1, id: p.id })}>
                          Open
                        </Link>
                        <Link className="button" to={previewPath({ treeType: 1, id: p.id })}>
                          Preview
                        </Link>
                        {hasRole(role, "publisher") ? (
                          <button type="button" className="danger" onClick={() => setDeleting(p)}>
                            Delete tree
                          </button>
                        ) : null}
                      </>
                    ) : author ? (
                      <>
                        <button
                          type="button"
                          className="primary"
                          disabled={create.isPending}
                          onClick={() =>
                            create.mutate(p.id, { onSuccess: () => navigate(editorPath({ treeType: 1, id: p.id })) })
                          }
                        >
                          Create tree
                        </button>
                        <button type="button" onClick={() => setCopyInto(p)}>
                          Copy tree from…
                        </button>
                      </>
                    ) : (
                      <span className="muted">No tree yet</span>
                    )}
                  </div>
                </td>
              </tr>
            ))}
          </tbody>
        </table>
      ) : null}
      {copyInto ? (
        <CopyTreeDialog dest={{ treeType: 1, id: copyInto.id }} destName={copyInto.description} onClose={() => setCopyInto(null)} />
      ) : null}
      {deleting ? (
        <ConfirmDialog
          title={`Delete the tree of ${deleting.description}?`}
          confirmLabel="Delete tree"
          danger
          onConfirm={() => remove.mutateAsync(deleting.id)}
          onClose={() => setDeleting(null)}
        >
          <p>
            The published tree{deleting.tree?.checkedOutBy ? " and its working copy" : ""} will be gone, with all{" "}
            {deleting.tree?.nodes ?? 0} nodes. The texts stay in the repository. This cannot be undone.
          </p>
        </ConfirmDialog>
      ) : null}
    </section>
  );
}
