import { useState } from "react";
import { Link, useNavigate } from "react-router-dom";
import { createTreeForEditing, deleteTemplateInfo } from "../api/edit";
import { keys, useCatalog, useEngineMutation, useTemplates } from "../api/queries";
import type { Role, TemplateRow } from "../api/types";
import { hasRole } from "../auth/roles";
import { ConfirmDialog } from "../components/ConfirmDialog";
import { ErrorNotice } from "../components/ErrorNotice";
import { editorPath, previewPath } from "../editor/paths";
import { CopyTreeDialog } from "./CopyTreeDialog";
import { describeState, matchesState, matchesText, type StateFilter } from "./filters";
import { TemplateDialog } from "./TemplateDialog";

interface Props {
  search: string;
  state: StateFilter;
  me: string;
  role: Role | undefined;
}

export function TemplatesTable({ search, state, me, role }: Props) {
  const templates = useTemplates();
  const catalog = useCatalog();
  const navigate = useNavigate();
  const [editing, setEditing] = useState<TemplateRow | "new" | null>(null);
  const [copyInto, setCopyInto] = useState<TemplateRow | null>(null);
  const [deleting, setDeleting] = useState<TemplateRow | null>(null);
  const create = useEngineMutation(
    (id: number) => createTreeForEditing({ treeType: 2, id }),
    (id) => [keys.tree(2, id)],
  );
  const remove = useEngineMutation(
    (id: number) => deleteTemplateInfo(id),
    (id) => [keys.tree(2, id)],
  );
  const categoryName = (id: number) => catalog.data?.categories.find((c) => c.id === id)?.name ?? (id ? `Category ${id}` : "None");
  const rows = (templates.data ?? []).filter(
    (t) => matchesState(t.tree, state, me) && matchesText(search, t.name, t.comment, t.id, categoryName(t.productCategory)),
  );
  const author = hasRole(role, "author");

  return (
    <section aria-labelledby="templates-title">
      <div className="row">
        <h2 id="templates-title">Templates</h2>
        {author ? (
          <button type="button" onClick={() => setEditing("new")}>
            New template
          </button>
        ) : null}
      </div>
      <ErrorNotice error={templates.error} />
      <ErrorNotice error={create.error} />
      {templates.isPending ? <p role="status">Loading templates…</p> : null}
      {templates.data && templates.data.length === 0 ? (
        <p>No templates yet. {author ? "Choose “New template” to make a part you can insert into many trees." : ""}</p>
      ) : null}
      {templates.data && templates.data.length > 0 && rows.length === 0 ? (
        <p>No template matches. Change the search or the state shown.</p>
      ) : null}
      {rows.length > 0 ? (
        <table className="list">
          <thead>
            <tr>
              <th scope="col">Template</th>
              <th scope="col">Category</th>
              <th scope="col">Comment</th>
              <th scope="col">Tree</th>
              <th scope="col">Actions</th>
            </tr>
          </thead>
          <tbody>
            {rows.map((t) => (
              <tr key={t.id}>
                <th scope="row">
                  {t.tree ? <Link to={editorPath({ treeType: 2, id: t.id })}>{t.name}</Link> : t.name}
                </th>
                <td>{categoryName(t.productCategory)}</td>
                <td>{t.comment}</td>
                <td className={`state ${t.tree ? (t.tree.checkedOutBy ? "state-held" : "") : "state-none"}`}>
                  {describeState(t.tree, me)}
                </td>
                <td>
                  <div className="row">
                    {t.tree ? (
                      <>
                        <Link className="button" to={editorPath({ treeType: 2, id: t.id })}>
                          Open
                        </Link>
                        <Link className="button" to={previewPath({ treeType: 2, id: t.id })}>
                          Preview
                        </Link>
                      </>
                    ) : author ? (
                      <>
                        <button
                          type="button"
                          className="primary"
                          disabled={create.isPending}
                          onClick={() =>
                            create.mutate(t.id, { onSuccess: () => navigate(editorPath({ treeType: 2, id: t.id })) })
                          }
                        >
                          Create tree
                        </button>
                        <button type="button" onClick={() => setCopyInto(t)}>
                          Copy tree from…
                        </button>
                      </>
                    ) : null}
                    {author ? (
                      <button type="button" onClick={() => setEditing(t)}>
                        Edit description
                      </button>
                    ) : null}
                    {hasRole(role, "publisher") ? (
                      <button type="button" className="danger" onClick={() => setDeleting(t)}>
                        Delete template
                      </button>
                    ) : null}
                  </div>
                </td>
              </tr>
            ))}
          </tbody>
        </table>
      ) : null}
      {editing ? <TemplateDialog template={editing === "new" ? undefined : editing} onClose={() => setEditing(null)} /> : null}
      {copyInto ? (
        <CopyTreeDialog dest={{ treeType: 2, id: copyInto.id }} destName={copyInto.name} onClose={() => setCopyInto(null)} />
      ) : null}
      {deleting ? (
        <ConfirmDialog
          title={`Delete the template ${deleting.name}?`}
          confirmLabel="Delete template"
          danger
          onConfirm={() => remove.mutateAsync(deleting.id)}
          onClose={() => setDeleting(null)}
        >
          <p>
            The template's description and its tree ({deleting.tree?.nodes ?? 0} nodes) will be gone. Trees that already
            contain a copy of it keep their copy. This cannot be undone.
          </p>
          {deleting.tree?.checkedOutBy && deleting.tree.checkedOutBy !== me ? (
            <p>
              {deleting.tree.checkedOutBy} has it checked out: the description goes, but the tree stays until they are
              done.
            </p>
          ) : null}
        </ConfirmDialog>
      ) : null}
    </section>
  );
}
